// The package's whole life on each system: installed by the installation
// procedure, a printer plugged (its queue appears) and printed to, the
// printer unplugged, the package uninstalled, the computer restarted; then
// nothing of the package is left.
#include <windows.h>

#include "base/text.h"
#include "machine/system_start.h"
#include "package_machine.h"
#include "user/print_job.h"

namespace {

constexpr char kPortPrefix[] = "NRVUSB";

class PackageLife : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }
};

// Everything of the package the restarted machine still has, one line each.
std::vector<std::string> whatIsLeft(PackageBench& bench) {
  std::vector<std::string> left;
  nrv::FileSystem& files = bench.machine.files();
  // The package's own files, and the INF files that name its class.
  for (const nrv::FileSystem::Entry& entry : files.list("C:\\")) {
    if (entry.folder) continue;
    std::string name = entry.path.substr(entry.path.rfind('\\') + 1);
    std::vector<uint8_t> bytes = files.fileBytes(entry.path).value_or(std::vector<uint8_t>{});
    std::string text(bytes.begin(), bytes.end());
    if (name.rfind("NRVUSB", 0) == 0 || text.find("NrvUSBPrinter") != std::string::npos)
      left.push_back("file " + entry.path);
  }
  for (const char* key :
       {"System\\CurrentControlSet\\Services\\nrvusb",
        "System\\CurrentControlSet\\Services\\Class\\NrvUSBPrinter",
        "System\\CurrentControlSet\\Services\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}",
        "System\\CurrentControlSet\\Control\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}",
        "System\\CurrentControlSet\\Control\\Print\\Monitors\\Norvo USB Printer Port Monitor",
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NrvUSBPrinter"}) {
    if (bench.keyExists(key)) left.push_back(std::string("key ") + key);
  }
  for (const std::u16string& port : bench.machine.registry().subkeys(
           u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Ports")) {
    if (nrv::toUtf8(port).rfind(kPortPrefix, 0) == 0) left.push_back("port key " + nrv::toUtf8(port));
  }
  for (const std::u16string& node : bench.machine.registry().deviceNodes(bench.machine.profile()))
    left.push_back("device " + nrv::toUtf8(node));
  for (const nrv::PortRecord& port : bench.machine.spooler().ports()) {
    if (port.name.rfind(kPortPrefix, 0) == 0) left.push_back("port " + port.name);
  }
  for (const auto& queue : bench.machine.spooler().printers()) left.push_back("queue " + queue->name());
  for (const nrv::MonitorState& monitor : bench.machine.spooler().monitors()) {
    if (!monitor.driver.empty()) left.push_back("monitor " + monitor.name);
  }
  for (const nrv::PendingFileOperation& operation : nrv::pendingFileOperations(
           bench.machine.profile(), bench.machine.registry(), files, bench.machine.locale()))
    left.push_back("pending " + operation.text);
  return left;
}

TEST_P(PackageLife, FromInstallationToNothingLeft) {
  nrv::MachineState state;
  {
    PackageBench bench(GetParam());
    nrv::PackageInstallation installed = bench.install(is98() ? std::vector<int>{} : std::vector<int>{IDOK});
    ASSERT_EQ(installed.stopped, "");
    EXPECT_EQ(installed.checkVersion, static_cast<DWORD>(ERROR_SUCCESS))
        << "all four files carry one version";
    EXPECT_EQ(installed.installPortMonitor, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(bench.monitorRegistered());

    nrv::UsbDevice& printer = bench.plug("Jet A", "A1");
    std::vector<std::shared_ptr<nrv::PrinterQueue>> queues = bench.machine.spooler().printers();
    ASSERT_EQ(queues.size(), 1u) << "the system installs a queue for the new printer";
    EXPECT_EQ(queues[0]->port().rfind(kPortPrefix, 0), 0u);
    std::vector<uint8_t> document(70000);
    for (size_t index = 0; index < document.size(); index++)
      document[index] = static_cast<uint8_t>(index * 7);
    std::shared_ptr<nrv::PrintJob> job =
        bench.machine.spooler().submitJob(queues[0]->name(), "life", nrv::documentOf(document));
    EXPECT_EQ(bench.machine.spooler().waitForJob(*job), nrv::JobState::Done);
    EXPECT_EQ(printer.model().outData(), document);
    bench.machine.usb().unplug(printer);

    nrv::ProgramRun run = bench.uninstall({IDYES, IDYES});
    ASSERT_TRUE(run.ran) << run.failure;
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_TRUE(bench.machine.restartRequested());
    state = bench.machine.shutDown();
  }
  PackageBench restarted(state);
  EXPECT_EQ(restarted.machine.start().driver.driver, nullptr) << "no driver is left to load";
  // What stays by design: the monitor leaves each port's key when the port is
  // deleted, and on Windows 98 the uninstaller deletes no service key.
  std::vector<std::string> expected;
  if (is98()) expected.push_back("key System\\CurrentControlSet\\Services\\nrvusb");
  expected.push_back("port key NRVUSB001");
  EXPECT_EQ(whatIsLeft(restarted), expected);
}

INSTANTIATE_TEST_SUITE_P(BothSystems, PackageLife,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
