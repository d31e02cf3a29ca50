// RemovePrintersOnPort: the spooler's printers whose port field is the port,
// case ignored, go; a printer it may not open is left alone; one it opens but
// cannot delete makes the result FALSE.
#include <windows.h>

#include "base/text.h"
#include "cleanup_machine.h"
#include "user/printer_queue.h"
#include "user/printer_queue_registry.h"

namespace {

class PrintersOnPort : public ::testing::Test {
 protected:
  // The printers are in the registry before the spooler starts, as after a
  // restart; a port field may list several ports.
  void startSpoolerWith(const std::vector<std::pair<std::u16string, std::u16string>>& printers) {
    for (const auto& [name, port] : printers) nrv::storePrinter(bench.machine.registry(), {name, port, {}});
    bench.machine.startSpooler();
  }
  BOOLEAN remove(const char* port) { return bench.call<BOOLEAN>("RemovePrintersOnPort", port); }
  bool exists(const char* name) { return bench.machine.spooler().printer(name) != nullptr; }

  CleanupBench bench{nrv::OsProfile::Windows2000, SetupVariant::Uninstaller};
};

TEST_F(PrintersOnPort, WithoutPrintersNothingHappens) {
  startSpoolerWith({});
  EXPECT_EQ(remove("LPT1:"), TRUE);
}

TEST_F(PrintersOnPort, RemovesThePrintersOnThePortWhateverTheCaseButNotOnesSharingIt) {
  startSpoolerWith(
      {{u"Office", u"LPT1:"}, {u"Lab", u"lpt1:"}, {u"Pooled", u"LPT1:,FILE:"}, {u"Disk", u"FILE:"}});
  EXPECT_EQ(remove("Lpt1:"), TRUE);
  EXPECT_FALSE(exists("Office"));
  EXPECT_FALSE(exists("Lab"));
  EXPECT_TRUE(exists("Pooled"));
  EXPECT_TRUE(exists("Disk"));
  EXPECT_FALSE(bench.machine.registry().keyExists(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office"));
}

TEST_F(PrintersOnPort, SkipsAPrinterItMayNotOpenAndReportsOneItCannotDelete) {
  startSpoolerWith(
      {{u"Guarded", u"LPT1:"}, {u"Plain", u"LPT1:"}, {u"Stuck", u"FILE:"}, {u"Other", u"FILE:"}});
  bench.machine.spooler().printer("Guarded")->restrictAccess(PRINTER_ACCESS_USE);
  bench.machine.spooler().printer("Stuck")->scriptDeletionFailure(ERROR_ACCESS_DENIED);
  EXPECT_EQ(remove("LPT1:"), TRUE);
  EXPECT_TRUE(exists("Guarded"));
  EXPECT_FALSE(exists("Plain"));
  EXPECT_EQ(remove("FILE:"), FALSE);
  EXPECT_TRUE(exists("Stuck"));
  EXPECT_FALSE(exists("Other"));
}

TEST_F(PrintersOnPort, ASpoolerThatDoesNotRunIsAFailure) { EXPECT_EQ(remove("LPT1:"), FALSE); }

}  // namespace
