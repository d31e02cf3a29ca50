// NRVUSBIN's version check reads the product versions of the installed
// driver and monitor files from their own bytes. The images here are the
// package's, with their version strings rewritten where a case needs it.
#include <windows.h>

#include "base/text.h"
#include "package_machine.h"

namespace {

class CheckVersion : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  CheckVersion() : bench(GetParam()) {}
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }

  void putDriver(const std::string& path, const std::u16string& version) {
    bench.machine.files().putFile(path, imageWithVersion(builtPackage().driver.image, version));
  }
  void putMonitor(const std::u16string& version) {
    bench.machine.files().putFile(bench.systemFile("NRVUSBMN.DLL"),
                                  imageWithVersion(builtPackage().monitor.image, version));
  }
  // The drivers folder of Windows 2000, which the check looks in second.
  std::string driversFolderFile() {
    return bench.machine.files().windowsDirectory() + "\\SYSTEM32\\DRIVERS\\NRVUSB.SYS";
  }

  PackageBench bench;
};

TEST_P(CheckVersion, TheInstalledFilesOfOnePackageAgree) {
  bench.putPackageFiles();
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_P(CheckVersion, VersionsThatDifferInAnyCharacterAreRefusedLetterCaseIncluded) {
  putDriver(bench.systemFile("NRVUSB.SYS"), u"3.00.22a");
  putMonitor(u"3.00.22A");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  putMonitor(u"3.00.22a");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS));
  putMonitor(u"3.00.221");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

// A version that cannot be read is no mismatch.
TEST_P(CheckVersion, AFileMissingOrWithoutAVersionIsNoMismatch) {
  putMonitor(u"3.00.221");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS)) << "no driver file";
  bench.putFile(bench.systemFile("NRVUSB.SYS"), "not an image at all");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS)) << "a driver file without a resource";
  std::vector<uint8_t> truncated = imageBytes(builtPackage().driver.image);
  truncated.resize(200);
  bench.machine.files().putFile(bench.systemFile("NRVUSB.SYS"), truncated);
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS)) << "a truncated driver image";
  putDriver(bench.systemFile("NRVUSB.SYS"), u"3.00.220");
  DWORD error = 0;
  ASSERT_TRUE(bench.machine.files().remove(bench.systemFile("NRVUSBMN.DLL"), &error));
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS)) << "no monitor file";
}

// The system folder first; the drivers folder under the Windows folder only
// when the first place gives no version.
TEST_P(CheckVersion, TheDriverIsLookedForInTheSystemFolderThenInTheDriversFolder) {
  putMonitor(u"3.00.220");
  putDriver(driversFolderFile(), u"3.00.221");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "found in the drivers folder";
  putDriver(bench.systemFile("NRVUSB.SYS"), u"3.00.220");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_SUCCESS)) << "the system folder's comes first";
  bench.putFile(bench.systemFile("NRVUSB.SYS"), "no version here");
  EXPECT_EQ(bench.checkVersion(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "no version: the second place";
}

INSTANTIATE_TEST_SUITE_P(BothSystems, CheckVersion,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
