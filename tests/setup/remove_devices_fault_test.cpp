// RemoveDevices under low resources: every user-mode allocation, and every
// registry key open, made to fail in turn. Whatever fails, nothing crashes,
// every handle and block is given back (the process's end checks), and
// nothing is removed that was not the driver's.
#include <windows.h>

#include "base/text.h"
#include "cleanup_machine.h"

namespace {

constexpr char kPrinterId[] = "MFG:NRV;CMD:PCL;MDL:Jet A;CLS:PRINTER;DES:NRV Jet A;";
constexpr char16_t kMruKey[] =
    u"\\Registry\\User\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";
constexpr char16_t kBystanderKey[] = u"\\Registry\\Machine\\Enum\\LPTENUM\\OTHERMODEL\\LPT1:";

struct SweepCase {
  nrv::OsProfile profile;
  SetupVariant variant;
  nrv::FaultKind kind;
};

// Runs RemoveDevices with the nth request of the kind failing; false once the
// run made fewer requests than n, so that nothing failed.
bool runWithFault(const SweepCase& sweep, uint64_t nth) {
  SCOPED_TRACE(std::string(nrv::faultKindName(sweep.kind)) + " " + std::to_string(nth));
  bool is98 = sweep.profile == nrv::OsProfile::Windows98;
  CleanupBench bench(sweep.profile, sweep.variant);
  bench.loadDriver();
  bench.startSpooler();
  nrv::UsbDevice& detached = bench.plug(kPrinterId, "B1");
  bench.plug(kPrinterId, "A1");
  bench.unplug(detached);
  // What is not the driver's: a printer on the parallel port, its list entry, its child's key.
  {
    nrv::ProcessScope scope(bench.process);
    EXPECT_EQ(bench.machine.spooler().addPrinter("Bystander", "LPT1:").result, TRUE);
  }
  bench.machine.registry().setString(kMruKey, u"z", u"LPT1:");
  bench.machine.registry().setString(kBystanderKey, u"PortName", u"LPT1:");

  nrv::FaultInjector& faults = bench.machine.faults();
  uint64_t before = faults.requests(sweep.kind);
  faults.failNth(sweep.kind, before + nth);
  bench.call<BOOLEAN>("RemoveDevices", static_cast<BYTE>(is98 ? 1 : 2));
  bool failed = faults.failures() > 0;
  faults.clear();

  EXPECT_NE(bench.machine.spooler().printer("Bystander"), nullptr);
  EXPECT_EQ(bench.machine.registry().stringValue(kMruKey, u"z"), u"LPT1:");
  EXPECT_TRUE(bench.machine.registry().keyExists(kBystanderKey));
  return failed;
}

class RemoveDevicesFaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(RemoveDevicesFaultSweep, NoCrashNoLeakNothingElseRemoved) {
  uint64_t nth = 1;
  while (runWithFault(GetParam(), nth) && !HasFatalFailure()) nth++;
  // The sweep reached the end of the run: every request failed once.
  EXPECT_GT(nth, 1u);
}

std::string sweepName(const ::testing::TestParamInfo<SweepCase>& info) {
  return std::string(info.param.profile == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000") +
         (info.param.variant == SetupVariant::Installer ? "Installer" : "Uninstaller") +
         (info.param.kind == nrv::FaultKind::RegistryOpen ? "RegistryOpens" : "Allocations");
}

std::vector<SweepCase> allSweeps() {
  std::vector<SweepCase> sweeps;
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000})
    for (SetupVariant variant : {SetupVariant::Installer, SetupVariant::Uninstaller})
      for (nrv::FaultKind kind : {nrv::FaultKind::UserAllocation, nrv::FaultKind::RegistryOpen})
        sweeps.push_back(SweepCase{profile, variant, kind});
  return sweeps;
}

INSTANTIATE_TEST_SUITE_P(BothVariantsOnBothSystems, RemoveDevicesFaultSweep, ::testing::ValuesIn(allSweeps()),
                         sweepName);

}  // namespace
