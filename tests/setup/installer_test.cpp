// NRVUSBIN's monitor installation: the system check with its warnings, the
// serial-number setting, and the monitor's registration with the spooler,
// each as the installation procedure calls it, in a setup process.
#include <windows.h>

#include "base/text.h"
#include "package_machine.h"

namespace {

constexpr char kWindowsVersionWarning[] = "This version of Windows may not be supported.";
constexpr char kSystemWarning[] = "This Operating System may not be supported.";
constexpr char kMonitorKey[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Monitors\\Norvo USB Printer Port "
    "Monitor";

// GetVersion's values of the systems the installer tells apart.
constexpr DWORD kWindows95 = 0xC3B60004;
constexpr DWORD kWindowsNt4 = (1381u << 16) | 4;
constexpr DWORD kWindowsNt351 = (1057u << 16) | (51 << 8) | 3;
constexpr DWORD kWindowsVista = (6000u << 16) | 6;

struct Box {
  std::string text;
  std::string caption;
  UINT style;
};

std::vector<Box> boxesOf(PackageBench& bench) {
  std::vector<Box> boxes;
  for (const nrv::MessageBoxRecord& box : bench.boxes()) {
    EXPECT_EQ(box.owner, nullptr) << "the installer has no window";
    boxes.push_back(Box{box.textUtf8, box.captionUtf8, box.style});
  }
  return boxes;
}

class InstallPortMonitor : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  InstallPortMonitor() : bench(GetParam()) {
    bench.putPackageFiles();
    bench.bindDriver();
  }
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }
  // The answer to the warning Windows 2000 gets; none on Windows 98.
  std::vector<int> passTheWarning() const { return is98() ? std::vector<int>{} : std::vector<int>{IDOK}; }

  PackageBench bench;
};

TEST_P(InstallPortMonitor, Windows98PassesSilentlyAndWindows2000IsWarnedOnce) {
  bench.machine.messageBoxes().script(passTheWarning());
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<Box> boxes = boxesOf(bench);
  if (is98()) {
    EXPECT_TRUE(boxes.empty());
  } else {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kWindowsVersionWarning);
    EXPECT_EQ(boxes[0].caption, "Error") << "no caption: the system's own";
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OKCANCEL | MB_ICONEXCLAMATION));
  }
  // The monitor runs at once, under the name and from the file the installer gave.
  EXPECT_TRUE(bench.monitorRegistered());
  EXPECT_EQ(bench.machine.registry().stringValue(nrv::toUtf16(kMonitorKey), u"Driver"), u"NRVUSBMN.DLL");
  EXPECT_NE(bench.machine.spooler().monitorModule("Norvo USB Printer Port Monitor"), nullptr);
  EXPECT_FALSE(bench.machine.restartRequested());
}

// Cancel comes before anything else: no setting read, no device touched, no monitor.
TEST_P(InstallPortMonitor, CancelAtTheWarningChangesNothing) {
  if (is98()) GTEST_SKIP() << "Windows 98 is not warned about";
  bench.setSerialNumberGeneration({1});
  nrv::UsbDevice& first = bench.plug("Jet A", std::nullopt);
  bench.plug("Jet B", std::nullopt);
  bench.machine.messageBoxes().script({IDCANCEL});
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(bench.boxes().size(), 1u);
  EXPECT_FALSE(bench.monitorRegistered());
  EXPECT_EQ(bench.serialNumberGeneration()->bytes, std::vector<uint8_t>{1});
  EXPECT_TRUE(bench.deviceNodeExists(first));
  EXPECT_FALSE(bench.machine.restartRequested());
}

// Two printers without a serial number would share what the stack makes up
// for them: the setting goes off, both devices go, the computer restarts.
TEST_P(InstallPortMonitor, TwoPrintersWithoutSerialNumbersSwitchGenerationOffAndRestart) {
  bench.setSerialNumberGeneration({1});
  nrv::UsbDevice& first = bench.plug("Jet A", std::nullopt);
  nrv::UsbDevice& second = bench.plug("Jet B", std::nullopt);
  nrv::UsbDevice& third = bench.plug("Jet C", "C1");
  std::vector<int> answers = passTheWarning();
  answers.push_back(IDOK);
  bench.machine.messageBoxes().script(answers);
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(bench.serialNumberGeneration()->bytes, std::vector<uint8_t>{0});
  EXPECT_EQ(bench.serialNumberGeneration()->type, static_cast<ULONG>(REG_BINARY));
  std::vector<Box> boxes = boxesOf(bench);
  ASSERT_EQ(boxes.size(), is98() ? 1u : 2u);
  EXPECT_EQ(boxes.back().caption, "System Settings Change");
  EXPECT_EQ(
      boxes.back().text,
      "The system settings had to be changed in order to correctly support multiple instances of this "
      "device.\n\nThe computer must be rebooted to complete the installation of this device.\n\nYou must "
      "close all applications and then press the OK button.");
  EXPECT_EQ(boxes.back().style, static_cast<UINT>(MB_ICONEXCLAMATION));
  // Every attached printer of the driver went, to be found afresh after the restart.
  EXPECT_FALSE(bench.deviceNodeExists(first));
  EXPECT_FALSE(bench.deviceNodeExists(second));
  EXPECT_FALSE(bench.deviceNodeExists(third));
  EXPECT_TRUE(bench.machine.restartRequested());
  EXPECT_TRUE(bench.monitorRegistered()) << "the monitor is registered before the restart comes";
}

// Cases that each need a machine of their own (one runs at a time).
class InstallPortMonitorCases : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }
  std::vector<int> passTheWarning() const { return is98() ? std::vector<int>{} : std::vector<int>{IDOK}; }
};

TEST_P(InstallPortMonitorCases, TheSettingStaysWhenNoTwoPrintersLackASerialNumber) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    ULONG type;
    int withoutSerial;
  };
  const Case cases[] = {{"generation off", {0}, REG_BINARY, 2},
                        {"one printer without", {1}, REG_BINARY, 1},
                        {"a DWORD value", {1, 0, 0, 0}, REG_DWORD, 2},
                        {"a value longer than a byte", {1, 1}, REG_BINARY, 2}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    PackageBench other(GetParam());
    other.putPackageFiles();
    other.bindDriver();
    other.setSerialNumberGeneration(test.bytes, test.type);
    for (int index = 0; index < test.withoutSerial; index++)
      other.plug("Jet " + std::to_string(index), std::nullopt);
    other.plug("Jet S", "S1");
    other.machine.messageBoxes().script(passTheWarning());
    EXPECT_EQ(other.installPortMonitor(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(other.serialNumberGeneration()->bytes, test.bytes);
    EXPECT_EQ(other.boxes().size(), passTheWarning().size());
    EXPECT_FALSE(other.machine.restartRequested());
  }
}

// A monitor registered already is no failure while the spooler lists its ports.
TEST_P(InstallPortMonitor, ASecondInstallationFindsTheMonitorThereAndSucceeds) {
  std::vector<int> answers = passTheWarning();
  answers.insert(answers.end(), answers.begin(), answers.end());
  bench.machine.messageBoxes().script(answers);
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bench.boxes().size(), answers.size()) << "no error box";
}

TEST_P(InstallPortMonitor, ARefusedRegistrationIsShownAndReturned) {
  if (is98()) GTEST_SKIP() << "Windows 98 lets everyone administer its spooler";
  bench.prepareSetup = [](nrv::Process& setup) { setup.token()->setAdministrator(false); };
  bench.machine.messageBoxes().script({IDOK, IDOK});
  EXPECT_EQ(bench.installPortMonitor(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::vector<Box> boxes = boxesOf(bench);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].text, "Could not install the USB Port Monitor");
  EXPECT_EQ(boxes[1].caption, "Error");
  EXPECT_EQ(boxes[1].style, static_cast<UINT>(MB_ICONERROR));
  EXPECT_FALSE(bench.monitorRegistered());
}

// Other systems: Windows 95 and NT 4 are warned about as Windows 2000 is, any
// other major version with the other text; none of them is Windows 2000, so
// the monitor is registered for the Windows 95 family's environment, which
// an NT spooler refuses.
TEST_P(InstallPortMonitorCases, OtherSystemsAreWarnedAboutAndRegisterForTheWindows95Family) {
  struct Case {
    DWORD version;
    const char* warning;
  };
  const Case cases[] = {{kWindows95, kWindowsVersionWarning},
                        {kWindowsNt4, kWindowsVersionWarning},
                        {kWindowsNt351, kSystemWarning},
                        {kWindowsVista, kSystemWarning}};
  for (const Case& test : cases) {
    SCOPED_TRACE(nrv::format("GetVersion 0x%08X", static_cast<unsigned>(test.version)));
    {
      PackageBench other(GetParam());
      other.putPackageFiles();
      other.machine.reportVersion(test.version);
      other.machine.messageBoxes().script(is98() ? std::vector<int>{IDOK} : std::vector<int>{IDOK, IDOK});
      DWORD result = other.installPortMonitor();
      std::vector<Box> boxes = boxesOf(other);
      ASSERT_GE(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, test.warning);
      EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OKCANCEL | MB_ICONEXCLAMATION));
      if (is98()) {
        EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(other.monitorRegistered());
      } else {
        EXPECT_EQ(result, static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].text, "Could not install the USB Port Monitor");
      }
    }
    // Cancel stops every one of them.
    PackageBench declined(GetParam());
    declined.machine.reportVersion(test.version);
    declined.machine.messageBoxes().script({IDCANCEL});
    EXPECT_EQ(declined.installPortMonitor(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(declined.monitorRegistered());
  }
}

TEST_P(InstallPortMonitor, AJapaneseSystemShowsTheJapaneseWarnings) {
  bench.machine.locale().setLcid(0x0411);
  bench.prepareSetup = [](nrv::Process& setup) { setup.token()->setAdministrator(false); };
  bench.machine.messageBoxes().script(passTheWarning());
  if (!is98()) bench.machine.messageBoxes().script({IDOK});
  bench.installPortMonitor();
  std::vector<Box> boxes = boxesOf(bench);
  if (is98()) {
    EXPECT_TRUE(boxes.empty());
    return;
  }
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "このﾊﾞｰｼﾞｮﾝのWindowsはｻﾎﾟｰﾄされていません。");
  EXPECT_EQ(boxes[1].text, "USBﾌﾟﾘﾝﾀｹｰﾌﾞﾙのﾎﾟｰﾄﾓﾆﾀｰをｲﾝｽﾄｰﾙできませんでした");
  // The program passed them in the Japanese system's code page.
  EXPECT_EQ(bench.boxes()[0].text, nrv::toCodePage(932, nrv::toUtf16(boxes[0].text)));
}

INSTANTIATE_TEST_SUITE_P(BothSystems, InstallPortMonitor,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });
INSTANTIATE_TEST_SUITE_P(BothSystems, InstallPortMonitorCases,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
