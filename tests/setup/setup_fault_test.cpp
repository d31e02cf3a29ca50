// The two programs under low resources: every user-mode allocation, and
// every registry key open, made to fail in turn, during InstallPortMonitor
// and during the uninstall sequence. Whatever fails, nothing crashes, the
// result is a status the caller understands, and the process gives back
// every handle and block (its end checks).
#include <windows.h>

#include "base/text.h"
#include "package_machine.h"

namespace {

struct SweepCase {
  nrv::OsProfile profile;
  nrv::FaultKind kind;
};

// Arms the nth request of the kind from now; afterwards, whether one failed.
class FaultArm {
 public:
  FaultArm(nrv::FaultInjector& faults, nrv::FaultKind kind, uint64_t nth) : faults_(faults) {
    faults_.failNth(kind, faults_.requests(kind) + nth);
  }
  bool fired() {
    bool failed = faults_.failures() > 0;
    faults_.clear();
    return failed;
  }

 private:
  nrv::FaultInjector& faults_;
};

bool installWithFault(const SweepCase& sweep, uint64_t nth) {
  SCOPED_TRACE(std::string(nrv::faultKindName(sweep.kind)) + " " + std::to_string(nth));
  bool is98 = sweep.profile == nrv::OsProfile::Windows98;
  PackageBench bench(sweep.profile);
  bench.putPackageFiles();
  bench.bindDriver();
  // Registered once already, so that the run lists the spooler's ports too.
  bench.machine.messageBoxes().script(is98 ? std::vector<int>{} : std::vector<int>{IDOK});
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_SUCCESS));
  bench.setSerialNumberGeneration({1});
  bench.plug("Jet A", std::nullopt);
  bench.plug("Jet B", std::nullopt);
  // Enough answers for every box a run may show; a fault may leave some unused.
  bench.machine.messageBoxes().script(is98 ? std::vector<int>{IDOK, IDOK}
                                           : std::vector<int>{IDOK, IDOK, IDOK});
  FaultArm arm(bench.machine.faults(), sweep.kind, nth);
  DWORD result = bench.installPortMonitor();
  bool fired = arm.fired();
  EXPECT_NE(result, 0xDEADBEEFu);
  if (result == ERROR_SUCCESS || result == ERROR_NOT_SUPPORTED) {
    EXPECT_TRUE(bench.monitorRegistered()) << "success means the monitor is there";
  }
  return fired;
}

bool uninstallWithFault(const SweepCase& sweep, uint64_t nth) {
  SCOPED_TRACE(std::string(nrv::faultKindName(sweep.kind)) + " " + std::to_string(nth));
  bool is98 = sweep.profile == nrv::OsProfile::Windows98;
  PackageBench bench(sweep.profile);
  EXPECT_EQ(bench.install(is98 ? std::vector<int>{} : std::vector<int>{IDOK}).stopped, "");
  nrv::UsbDevice& detached = bench.plug("Jet A", "A1");
  bench.plug("Jet B", "B1");
  bench.machine.usb().unplug(detached);
  FaultArm arm(bench.machine.faults(), sweep.kind, nth);
  nrv::ProgramRun run = bench.uninstall({IDYES, IDNO});
  bool fired = arm.fired();
  EXPECT_TRUE(run.ran) << run.failure;
  EXPECT_EQ(run.exitCode, 1u);
  return fired;
}

class InstallerFaultSweep : public ::testing::TestWithParam<SweepCase> {};
class UninstallerFaultSweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(InstallerFaultSweep, NoCrashNoLeakAndAStatus) {
  uint64_t nth = 1;
  while (installWithFault(GetParam(), nth) && !HasFatalFailure()) nth++;
  EXPECT_GT(nth, 1u) << "the run made requests of the kind";
}

TEST_P(UninstallerFaultSweep, NoCrashNoLeakAndExitCode1) {
  uint64_t nth = 1;
  while (uninstallWithFault(GetParam(), nth) && !HasFatalFailure()) nth++;
  EXPECT_GT(nth, 1u) << "the run made requests of the kind";
}

std::string sweepName(const ::testing::TestParamInfo<SweepCase>& info) {
  return std::string(info.param.profile == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000") +
         (info.param.kind == nrv::FaultKind::RegistryOpen ? "RegistryOpens" : "Allocations");
}

std::vector<SweepCase> allSweeps() {
  std::vector<SweepCase> sweeps;
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000})
    for (nrv::FaultKind kind : {nrv::FaultKind::UserAllocation, nrv::FaultKind::RegistryOpen})
      sweeps.push_back(SweepCase{profile, kind});
  return sweeps;
}

INSTANTIATE_TEST_SUITE_P(BothSystems, InstallerFaultSweep, ::testing::ValuesIn(allSweeps()), sweepName);
INSTANTIATE_TEST_SUITE_P(BothSystems, UninstallerFaultSweep, ::testing::ValuesIn(allSweeps()), sweepName);

}  // namespace
