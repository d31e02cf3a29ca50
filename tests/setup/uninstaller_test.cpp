// NRVUSBUN run as the person runs it: its two questions, the keys of each
// system, the order in which the package's files are left for the next
// start, and a run on a machine with nothing to remove.
#include <windows.h>

#include "base/text.h"
#include "machine/machine_state.h"
#include "machine/registry_text.h"
#include "machine/system_start.h"
#include "package_machine.h"

namespace {

constexpr char kUninstallEntry[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NrvUSBPrinter";
constexpr char kMonitorKey[] =
    "System\\CurrentControlSet\\control\\Print\\Monitors\\Norvo USB Printer Port Monitor";
const char* const kClassKeys98[] = {
    "System\\CurrentControlSet\\Services\\Class\\NrvUSBPrinter",
    "System\\CurrentControlSet\\Services\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}"};
const char* const kKeys2000[] = {
    "System\\CurrentControlSet\\Control\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}",
    "System\\CurrentControlSet\\Services\\nrvusb"};
constexpr UINT kQuestionStyle = MB_YESNO | MB_ICONQUESTION | MB_TOPMOST;

class Uninstaller : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  Uninstaller() : bench(GetParam()) {}
  bool is98() const { return GetParam() == nrv::OsProfile::Windows98; }

  // The package installed, with one printer attached.
  void installWithPrinter() {
    nrv::PackageInstallation installed = bench.install(is98() ? std::vector<int>{} : std::vector<int>{IDOK});
    ASSERT_EQ(installed.stopped, "");
    bench.plug("Jet A", "A1");
  }
  void createKey(const std::string& path) {
    bench.machine.registry().createKey(u"\\Registry\\Machine\\" + nrv::toUtf16(path));
  }
  std::vector<std::string> pendingDeletions() {
    std::vector<std::string> files;
    for (const nrv::PendingFileOperation& operation : nrv::pendingFileOperations(
             GetParam(), bench.machine.registry(), bench.machine.files(), bench.machine.locale())) {
      EXPECT_EQ(operation.to, "") << "only deletions";
      files.push_back(operation.from);
    }
    return files;
  }

  PackageBench bench;
};

TEST_P(Uninstaller, AnsweredNoItChangesNothingAndExitsWith1) {
  installWithPrinter();
  std::string registryBefore = nrv::registryText(nrv::captureRegistry(bench.machine.registry()));
  std::vector<nrv::FileState> filesBefore = nrv::captureFiles(bench.machine.files());
  size_t boxesBefore = bench.boxes().size();
  nrv::ProgramRun run = bench.uninstall({IDNO});
  ASSERT_TRUE(run.ran) << run.failure;
  EXPECT_EQ(run.exitCode, 1u);
  std::vector<nrv::MessageBoxRecord> boxes = bench.boxes();
  ASSERT_EQ(boxes.size(), boxesBefore + 1);
  EXPECT_EQ(boxes.back().textUtf8,
            "Are you sure you want to uninstall the selected device and all of its components?");
  EXPECT_EQ(boxes.back().captionUtf8, "Confirm Uninstall");
  EXPECT_EQ(boxes.back().style, kQuestionStyle);
  EXPECT_EQ(nrv::registryText(nrv::captureRegistry(bench.machine.registry())), registryBefore);
  EXPECT_EQ(nrv::captureFiles(bench.machine.files()).size(), filesBefore.size());
  EXPECT_TRUE(bench.monitorRegistered());
}

// Each system's class and service keys, and only those; the monitor's key
// and the uninstall entry on both.
TEST_P(Uninstaller, EachSystemLosesItsOwnKeys) {
  installWithPrinter();
  for (const char* key : kClassKeys98) createKey(key);
  for (const char* key : kKeys2000) createKey(key);
  nrv::ProgramRun run = bench.uninstall({IDYES, IDNO});
  EXPECT_EQ(run.exitCode, 1u);
  for (const char* key : kClassKeys98) EXPECT_EQ(bench.keyExists(key), !is98()) << key;
  for (const char* key : kKeys2000) EXPECT_EQ(bench.keyExists(key), is98()) << key;
  EXPECT_FALSE(bench.keyExists(kMonitorKey));
  EXPECT_FALSE(bench.keyExists(kUninstallEntry));
  EXPECT_FALSE(bench.monitorRegistered());
  EXPECT_FALSE(bench.machine.restartRequested()) << "the restart was declined";
  std::vector<nrv::MessageBoxRecord> boxes = bench.boxes();
  EXPECT_EQ(boxes.back().textUtf8,
            "To finish uninstalling the device, you must reboot your computer\n\nDo you want to reboot your "
            "computer now?");
  EXPECT_EQ(boxes.back().captionUtf8, "Confirm Reboot");
  EXPECT_EQ(boxes.back().style, kQuestionStyle);
}

// The driver in both places, then the monitor, the installer, the further
// file and the program itself. Windows 98 reads WinInit.ini from the top,
// where each new line goes, so there the order is turned round.
TEST_P(Uninstaller, ThePackageFilesAreLeftForTheNextStartInOrder) {
  installWithPrinter();
  std::string drivers = bench.machine.files().windowsDirectory() + "\\SYSTEM32\\DRIVERS\\NRVUSB.SYS";
  for (const std::string& path :
       {drivers, bench.systemFile("NRVUSB.SYS"), bench.systemFile("NRVUSBCI.DLL")}) {
    if (!bench.machine.files().isFile(path)) bench.putFile(path, "package file");
  }
  bench.uninstall({IDYES, IDYES});
  std::vector<std::string> expected = {drivers,
                                       bench.systemFile("NRVUSB.SYS"),
                                       bench.systemFile("NRVUSBMN.DLL"),
                                       bench.systemFile("NRVUSBIN.DLL"),
                                       bench.systemFile("NRVUSBCI.DLL"),
                                       bench.systemFile("NRVUSBUN.EXE")};
  if (is98()) std::reverse(expected.begin(), expected.end());
  std::vector<std::string> pending = pendingDeletions();
  std::vector<std::string> packageFiles;
  for (const std::string& file : pending) {
    if (file.find("\\NRVUSB") != std::string::npos) packageFiles.push_back(file);
  }
  EXPECT_EQ(packageFiles, expected);
  // What nothing held went at once; the running program and the loaded driver wait for the start.
  EXPECT_FALSE(bench.machine.files().isFile(bench.systemFile("NRVUSBIN.DLL")));
  EXPECT_FALSE(bench.machine.files().isFile(bench.systemFile("NRVUSBCI.DLL")));
  EXPECT_TRUE(bench.machine.files().isFile(bench.systemFile("NRVUSBUN.EXE")));
  EXPECT_TRUE(bench.machine.files().isFile(bench.driversFile("NRVUSB.SYS")));
  EXPECT_TRUE(bench.machine.restartRequested());
}

TEST_P(Uninstaller, RunsThroughEveryStepWithNothingToRemove) {
  bench.putImage(bench.systemFile("NRVUSBUN.EXE"), builtPackage().uninstaller.image,
                 builtPackage().uninstaller.hostModule);
  createKey(kUninstallEntry);
  createKey(std::string(kUninstallEntry) + "\\Details");
  nrv::ProgramRun run = bench.uninstall({IDYES, IDNO});
  ASSERT_TRUE(run.ran) << run.failure;
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(bench.boxes().size(), 2u);
  EXPECT_FALSE(bench.keyExists(kUninstallEntry)) << "a subkey without its own goes on both systems";
  std::vector<std::string> pending = pendingDeletions();
  EXPECT_NE(std::find(pending.begin(), pending.end(), bench.systemFile("NRVUSBUN.EXE")), pending.end())
      << "the program always schedules itself";
}

// Windows 98 deletes a key with its tree; Windows 2000 only keys without
// subkeys, so a subkey with one of its own stays there, and so does the key.
// A subkey that may not be deleted is stepped over: the run always ends.
TEST_P(Uninstaller, TheUninstallEntryGoesAsFarAsEachSystemDeletesKeys) {
  bench.putImage(bench.systemFile("NRVUSBUN.EXE"), builtPackage().uninstaller.image,
                 builtPackage().uninstaller.hostModule);
  std::string entry = kUninstallEntry;
  for (const char* subkey : {"\\A", "\\B\\Deeper", "\\C", "\\Locked"}) createKey(entry + subkey);
  bench.machine.registry().denyProgramDeletion(u"\\Registry\\Machine\\" + nrv::toUtf16(entry + "\\Locked"));
  bench.uninstall({IDYES, IDNO});
  EXPECT_FALSE(bench.keyExists(entry + "\\A"));
  EXPECT_FALSE(bench.keyExists(entry + "\\C"));
  EXPECT_TRUE(bench.keyExists(entry + "\\Locked"));
  EXPECT_EQ(bench.keyExists(entry + "\\B\\Deeper"), !is98());
  EXPECT_TRUE(bench.keyExists(entry)) << "a subkey it could not delete keeps the entry";
}

TEST_P(Uninstaller, ASubkeyWithOneOfItsOwnKeepsTheEntryOnlyOnWindows2000) {
  bench.putImage(bench.systemFile("NRVUSBUN.EXE"), builtPackage().uninstaller.image,
                 builtPackage().uninstaller.hostModule);
  std::string entry = kUninstallEntry;
  for (const char* subkey : {"\\A", "\\B\\Deeper"}) createKey(entry + subkey);
  bench.uninstall({IDYES, IDNO});
  EXPECT_EQ(bench.keyExists(entry), !is98());
  EXPECT_EQ(bench.keyExists(entry + "\\B"), !is98());
  EXPECT_FALSE(bench.keyExists(entry + "\\A"));
}

TEST_P(Uninstaller, AJapaneseSystemAsksInJapanese) {
  bench.putImage(bench.systemFile("NRVUSBUN.EXE"), builtPackage().uninstaller.image,
                 builtPackage().uninstaller.hostModule);
  bench.machine.locale().setLcid(0x0411);
  bench.uninstall({IDYES, IDNO});
  std::vector<nrv::MessageBoxRecord> boxes = bench.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].textUtf8, "指定されたデバイスとそのコンポーネントを全て削除しますか？");
  EXPECT_EQ(boxes[0].captionUtf8, "削除の確認");
  EXPECT_EQ(boxes[1].textUtf8,
            "デバイスの削除を完了させるために、パソコンを再起動しなければなりません。今再起動しますか？");
  EXPECT_EQ(boxes[1].captionUtf8, "再起動の確認");
}

INSTANTIATE_TEST_SUITE_P(BothSystems, Uninstaller,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
