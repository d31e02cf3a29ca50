// A machine's restart: what it leaves for the next start (files in use
// deleted or renamed then, not before; WinInit.ini on Windows 98, the session
// manager's pending operations on Windows 2000, each system ignoring the
// other's), the driver and monitors loaded again from their files, and the
// printers back on the bus.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "kernel/registry.h"
#include "machine/driver_services.h"
#include "machine/machine.h"

namespace {

using nrv::OsProfile;

constexpr char16_t kSessionManager[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPending[] = u"PendingFileRenameOperations";

std::vector<uint8_t> bytesOf(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class Restart : public ::testing::TestWithParam<OsProfile> {
 public:
  bool win98() const { return GetParam() == OsProfile::Windows98; }
  std::string windows() { return machine->files().windowsDirectory(); }
  std::string system() { return machine->files().systemDirectory(); }

  // What a program's DeleteFileA says, and its last error.
  std::pair<BOOL, DWORD> deleteFile(const std::string& path) {
    nrv::ProcessScope scope(*program);
    SetLastError(0xDEADBEEF);
    BOOL deleted = DeleteFileA(path.c_str());
    return {deleted, GetLastError()};
  }
  // The clean-up routines' way of removing a file at the next start on either system.
  void deleteAtStart(const std::string& path) {
    if (win98()) {
      std::string ini = text(windows() + "\\WININIT.INI");
      if (ini.empty()) ini = "[Rename]\r\n";
      ini.insert(ini.find('\n') + 1, "NUL=" + path + "\r\n");
      machine->files().putFile(windows() + "\\WININIT.INI", bytesOf(ini));
      return;
    }
    nrv::ProcessScope scope(*program);
    ASSERT_TRUE(MoveFileExA(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  }
  std::string text(const std::string& path) {
    std::vector<uint8_t> bytes = machine->files().fileBytes(path).value_or(std::vector<uint8_t>{});
    return std::string(bytes.begin(), bytes.end());
  }
  void installMonitor() {
    ASSERT_TRUE(machine->files().putModuleFile(system() + "\\TESTMON.DLL", TEST_MONITOR_MODULE));
    machine->registerMonitor("Test Monitor", "TESTMON.DLL");
    machine->startSpooler();
  }
  std::string driverImage() { return win98() ? "SYSTEM\\BROKEN.SYS" : "System32\\DRIVERS\\BROKEN.SYS"; }
  void installDriver() {
    ASSERT_TRUE(machine->files().putModuleFile(windows() + "\\" + driverImage(), BROKEN_DRIVER_MODULE));
    nrv::registerDriverService(machine->registry(), "BROKEN", driverImage());
    ASSERT_NE(machine->loadFunctionDriver("BROKEN").driver, nullptr);
  }
  void restart(std::vector<nrv::PrinterConfig> printers = {}) {
    nrv::MachineState state = machine->shutDown();
    state.printers = std::move(printers);
    machine.reset();
    machine = std::make_unique<nrv::Machine>(state);
    program = &machine->startProcess("program");
  }
  std::vector<std::string> operations() {
    std::vector<std::string> done;
    for (const nrv::StartFileOperation& operation : machine->start().fileOperations)
      done.push_back(operation.source + ": " + operation.text + ": " + operation.outcome);
    return done;
  }

  std::unique_ptr<nrv::Machine> machine = std::make_unique<nrv::Machine>(nrv::MachineOptions{GetParam()});
  nrv::Process* program = &machine->startProcess("program");
};

TEST_P(Restart, FilesInUseGoAtTheRestartNotBefore) {
  installDriver();
  installMonitor();
  std::string driver = windows() + "\\" + driverImage();
  std::string monitor = system() + "\\TESTMON.DLL";
  // A loaded image cannot be deleted: Windows answers access denied.
  EXPECT_EQ(deleteFile(driver), std::make_pair(FALSE, static_cast<DWORD>(ERROR_ACCESS_DENIED)));
  EXPECT_EQ(deleteFile(monitor), std::make_pair(FALSE, static_cast<DWORD>(ERROR_ACCESS_DENIED)));
  deleteAtStart(driver);
  deleteAtStart(monitor);
  EXPECT_TRUE(machine->files().isFile(driver));
  EXPECT_TRUE(machine->files().isFile(monitor));

  restart();
  EXPECT_FALSE(machine->files().isFile(driver));
  EXPECT_FALSE(machine->files().isFile(monitor));
  std::string source = win98() ? "WININIT.INI: NUL=" : "PendingFileRenameOperations: \"\\??\\";
  std::string end = win98() ? ": deleted" : "\" -> \"\": deleted";
  std::vector<std::string> expected{source + driver + end, source + monitor + end};
  if (win98()) {
    std::reverse(expected.begin(), expected.end());  // each line goes on top of the section
    expected.push_back("WININIT.INI: WININIT.INI -> WININIT.BAK: renamed");
  }
  EXPECT_EQ(operations(), expected);
  // The driver and the monitor are still registered, but their files are gone.
  EXPECT_EQ(machine->start().driverService, "BROKEN");
  EXPECT_EQ(machine->start().driver.driver, nullptr);
  EXPECT_EQ(machine->start().driver.failure, driver + " does not exist");
  ASSERT_TRUE(machine->start().spoolerStarted);
  std::vector<nrv::MonitorState> monitors = machine->spooler().monitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[1].failure, "TESTMON.DLL is not in the system folder");
}

TEST_P(Restart, DriverAndMonitorStillInstalledLoadAgainAndStayInUse) {
  installDriver();
  installMonitor();
  restart();
  EXPECT_TRUE(operations().empty());
  ASSERT_NE(machine->start().driver.driver, nullptr);
  EXPECT_EQ(machine->pnp().functionDriver(), &machine->start().driver.driver->object);
  EXPECT_EQ(machine->start().driverImage, windows() + "\\" + driverImage());
  EXPECT_EQ(machine->spooler().monitors().at(1).failure, "");
  EXPECT_EQ(deleteFile(machine->start().driverImage).second, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(deleteFile(system() + "\\TESTMON.DLL").second, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The same again, once more: nothing piles up from one start to the next.
  restart();
  ASSERT_NE(machine->start().driver.driver, nullptr);
  EXPECT_EQ(machine->spooler().monitors().size(), 2u);
}

TEST_P(Restart, FilesNotInUseAndMissingOnes) {
  machine->files().putFile(windows() + "\\OLD.TXT", bytesOf("old"));
  machine->files().putFile(windows() + "\\TAKEN.TXT", bytesOf("taken"));
  if (win98()) {
    machine->files().putFile(windows() + "\\WININIT.BAK", bytesOf("an older one"));
    std::string ini =
        "[Settings]\r\nNUL=C:\\WINDOWS\\TAKEN.TXT\r\n[rename]\r\nNUL=C:\\WINDOWS\\GONE.TXT\r\n"
        "C:\\WINDOWS\\TAKEN.TXT=C:\\WINDOWS\\OLD.TXT\r\nno equals sign\r\n";
    machine->files().putFile(windows() + "\\WININIT.INI", bytesOf(ini));
    restart();
    EXPECT_EQ(operations(), (std::vector<std::string>{
                                "WININIT.INI: NUL=C:\\WINDOWS\\GONE.TXT: not found",
                                "WININIT.INI: C:\\WINDOWS\\TAKEN.TXT=C:\\WINDOWS\\OLD.TXT: renamed",
                                "WININIT.INI: no equals sign: not understood",
                                "WININIT.INI: WININIT.INI -> WININIT.BAK: renamed",
                            }));
    EXPECT_EQ(text(windows() + "\\WININIT.BAK"), ini);
    EXPECT_FALSE(machine->files().isFile(windows() + "\\WININIT.INI"));
  } else {
    nrv::ProcessScope scope(*program);
    ASSERT_TRUE(MoveFileExA("C:\\WINNT\\GONE.TXT", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\WINNT\\OLD.TXT", "C:\\WINNT\\TAKEN.TXT", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\WINNT\\OLD.TXT", "C:\\WINNT\\TAKEN.TXT",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
  }
  if (!win98()) {
    restart();
    EXPECT_EQ(operations(),
              (std::vector<std::string>{
                  "PendingFileRenameOperations: \"\\??\\C:\\WINNT\\GONE.TXT\" -> \"\": not found",
                  "PendingFileRenameOperations: \"\\??\\C:\\WINNT\\OLD.TXT\" -> "
                  "\"\\??\\C:\\WINNT\\TAKEN.TXT\": target exists",
                  "PendingFileRenameOperations: \"\\??\\C:\\WINNT\\OLD.TXT\" -> "
                  "\"!\\??\\C:\\WINNT\\TAKEN.TXT\": renamed",
              }));
    EXPECT_FALSE(machine->registry().value(kSessionManager, kPending).has_value());
  }
  EXPECT_EQ(text(windows() + "\\TAKEN.TXT"), "old");
  EXPECT_FALSE(machine->files().isFile(windows() + "\\OLD.TXT"));
  // Done once: the next start finds nothing left to do.
  restart();
  EXPECT_TRUE(operations().empty());
}

TEST_P(Restart, EachSystemIgnoresTheOthersWay) {
  std::string file = windows() + "\\KEEP.TXT";
  machine->files().putFile(file, bytesOf("kept"));
  std::string ini = "[Rename]\r\nNUL=" + file + "\r\n";
  machine->files().putFile(windows() + "\\WININIT.INI", bytesOf(ini));
  std::vector<uint8_t> pending = nrv::registryMultiStringBytes({u"\\??\\" + nrv::toUtf16(file), u""});
  machine->registry().setValue(kSessionManager, kPending, REG_MULTI_SZ, pending);
  restart();
  ASSERT_EQ(operations().size(), win98() ? 2u : 1u);
  EXPECT_FALSE(machine->files().isFile(file));
  if (win98()) {
    // The session manager's value stays as it was: no Windows 98 program reads it.
    EXPECT_EQ(machine->registry().value(kSessionManager, kPending)->bytes, pending);
  } else {
    EXPECT_EQ(text(windows() + "\\WININIT.INI"), ini);
    EXPECT_FALSE(machine->files().isFile(windows() + "\\WININIT.BAK"));
  }
}

TEST_P(Restart, PrintersComeBackAndTheRegistryAndLocaleStay) {
  machine->registry().setString(u"\\Registry\\Machine\\Software\\Norvo", u"Kept", u"yes");
  machine->locale().setLcid(0x0411);
  nrv::PrinterConfig printer;
  restart({printer});
  EXPECT_EQ(machine->registry().stringValue(u"\\Registry\\Machine\\Software\\Norvo", u"Kept"), u"yes");
  EXPECT_EQ(machine->locale().lcid(), 0x0411u);
  ASSERT_EQ(machine->start().printers.size(), 1u);
  EXPECT_EQ(machine->usb().devices().size(), 1u);
  EXPECT_TRUE(machine->start().printers[0]->connected());
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, Restart,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<OsProfile>& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
