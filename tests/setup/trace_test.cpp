// Trace lines are formatted and let go: however long the names they carry,
// the line stays inside its buffer (the address sanitizer build watches it).
#include <windows.h>

#include <string>

#include "cleanup_machine.h"

namespace {

TEST(TraceLines, NeverOutgrowTheirBufferWhateverTheirArguments) {
  CleanupBench bench(nrv::OsProfile::Windows2000, SetupVariant::Installer);
  std::string longName(5000, 'P');
  std::string longPrefix(300, 'X');
  bench.call<void>("Trace", "    Removing printer '%s', port '%s'\n", longName.c_str(), longName.c_str());
  bench.call<void>("TraceWithPrefix", longPrefix.c_str(), "    %s%s%s\n", longName.c_str(), longName.c_str(),
                   longName.c_str());
  // The routines that trace names they were given.
  EXPECT_EQ(bench.call<BOOLEAN>("RemovePortFromMru", longName.c_str(), longName.c_str()), TRUE);
  EXPECT_EQ(bench.call<BOOLEAN>("RemoveLptEnumKeys", longName.c_str(), longName.c_str()), TRUE);
}

}  // namespace
