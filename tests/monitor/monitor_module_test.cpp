// The monitor module as the spooler finds it: two exports, and imports only
// from the system DLLs the machine provides.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "dynamic_symbols.h"

namespace {

using nrvtest::dynamicSymbols;

TEST(MonitorModule, ExportsTheEntryPointAndTheSpoolersInitialisationOnly) {
  EXPECT_EQ(dynamicSymbols("--defined-only", NRVUSBMN_MODULE),
            (std::set<std::string>{"DllEntryPoint", "InitializeMonitorEx"}));
}

// The compiler may call the memory routines on its own; everything else comes
// from the system DLLs. kernel32's interlocked routines are the kernel's on
// this machine, which exports them under the same names.
TEST(MonitorModule, ImportsOnlyWhatTheSystemDllsExport) {
  const std::set<std::string> compilerRuntime = {"memcpy", "memset", "memmove"};
  const std::set<std::string> sharedWithTheKernel = {"InterlockedIncrement", "InterlockedDecrement",
                                                     "InterlockedExchange", "InterlockedCompareExchange"};
  std::set<std::string> imports = dynamicSymbols("--undefined-only", NRVUSBMN_MODULE);
  std::set<std::string> system = dynamicSymbols("--defined-only", NRVUSER_LIBRARY);
  ASSERT_FALSE(imports.empty());
  for (const std::string& symbol : imports) {
    EXPECT_TRUE(system.count(symbol) != 0 || compilerRuntime.count(symbol) != 0 ||
                sharedWithTheKernel.count(symbol) != 0)
        << symbol << " is not a system export";
  }
}

}  // namespace
