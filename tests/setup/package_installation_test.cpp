// The installation procedure the machine plays for the package: where it puts
// things, how the driver it binds installs a printer, and when it stops.
#include <windows.h>

#include <cstdio>
#include <fstream>

#include "base/text.h"
#include "package_machine.h"

namespace {

class PackageInstallation : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  PackageInstallation() : bench(GetParam()) {}
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }
  std::vector<int> passTheWarning() const { return is98() ? std::vector<int>{} : std::vector<int>{IDOK}; }

  PackageBench bench;
};

// A printer plugged after the installation is installed from the package's
// INF: its node takes the package's class and its driver key names the INF.
TEST_P(PackageInstallation, APrinterPluggedAfterwardsIsInstalledFromThePackagesInf) {
  std::string infFolder = bench.machine.files().windowsDirectory() + (is98() ? "\\INF\\OTHER\\" : "\\INF\\");
  if (!is98()) bench.putFile(infFolder + "oem0.inf", "[Version]\r\n; another maker's\r\n");
  ASSERT_EQ(bench.install(passTheWarning()).stopped, "");
  std::string inf = is98() ? "NorvoNRVUSB.INF" : "oem1.inf";
  EXPECT_TRUE(bench.machine.files().isFile(infFolder + inf)) << "the first free name";
  nrv::UsbDevice& printer = bench.plug("Jet A", "A1");
  std::optional<std::u16string> driverKey =
      bench.machine.registry().installedDriverKeyPath(GetParam(), printer.instancePath());
  ASSERT_TRUE(driverKey.has_value());
  EXPECT_EQ(bench.machine.registry().stringValue(*driverKey, u"InfPath"), nrv::toUtf16(inf));
  EXPECT_NE(driverKey->find(is98() ? u"\\Class\\NrvUSBPrinter\\"
                                   : u"\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}\\"),
            std::u16string::npos)
      << nrv::toUtf8(*driverKey);
  EXPECT_EQ(bench.machine.registry().stringValue(
                nrv::Registry::instanceKeyPath(GetParam(), printer.instancePath()), u"Class"),
            u"NrvUSBPrinter");
}

// Installed and running, the package cannot be installed over itself: the
// driver would be loaded twice and its files written while they run.
TEST_P(PackageInstallation, AnInstalledPackageIsNotInstalledAgainOverItself) {
  ASSERT_EQ(bench.install(passTheWarning()).stopped, "");
  nrv::PackageInstallation again = bench.install();
  EXPECT_NE(again.stopped.find("loaded already"), std::string::npos) << again.stopped;
  EXPECT_TRUE(again.steps.empty()) << "nothing was changed";
  EXPECT_FALSE(again.checkVersion.has_value());
}

// A package file that is not in use may be written; one that is, may not.
TEST_P(PackageInstallation, AFileInUseStopsTheCopyBeforeAnyFileIsWritten) {
  bench.putImage(bench.systemFile("NRVUSBUN.EXE"), builtPackage().uninstaller.image, NRVUSBUN_MODULE);
  bench.machine.files().markInUse(bench.systemFile("NRVUSBUN.EXE"), 1);
  nrv::PackageInstallation refused = bench.install();
  EXPECT_NE(refused.stopped.find("NRVUSBUN.EXE cannot be written"), std::string::npos) << refused.stopped;
  EXPECT_FALSE(bench.machine.files().isFile(bench.driversFile("NRVUSB.SYS")));
  EXPECT_FALSE(bench.keyExists("System\\CurrentControlSet\\Services\\nrvusb"));
  bench.machine.files().markInUse(bench.systemFile("NRVUSBUN.EXE"), -1);
}

TEST_P(PackageInstallation, AFileOfThePackageThatCannotBeReadStopsItBeforeAnythingChanges) {
  nrv::PackageFiles package = builtPackage();
  package.monitor.image = "/nonexistent/NRVUSBMN.DLL";
  nrv::PackageInstallation refused = nrv::installPackage(bench.machine, package);
  EXPECT_NE(refused.stopped.find("the image of NRVUSBMN.DLL"), std::string::npos) << refused.stopped;
  EXPECT_FALSE(bench.machine.files().isFile(bench.driversFile("NRVUSB.SYS")));
}

// CheckVersion answering that the files differ ends the procedure before the
// monitor is installed.
TEST_P(PackageInstallation, DifferingVersionsStopItBeforeTheMonitorIsInstalled) {
  nrv::PackageFiles package = builtPackage();
  std::vector<uint8_t> bytes = imageWithVersion(package.monitor.image, u"3.00.229");
  std::string changed = ::testing::TempDir() + "NRVUSBMN-3.00.229.DLL";
  std::ofstream(changed, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  package.monitor.image = changed;
  nrv::PackageInstallation stopped = nrv::installPackage(bench.machine, package);
  std::remove(changed.c_str());
  EXPECT_EQ(stopped.checkVersion, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(stopped.installPortMonitor.has_value());
  EXPECT_NE(stopped.stopped.find("different product versions"), std::string::npos);
  EXPECT_FALSE(bench.monitorRegistered());
  EXPECT_TRUE(bench.boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(BothSystems, PackageInstallation,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
