// NRVUSBIN.DLL as the cross build leaves it: what the Windows loader, the
// printer's installation procedure and the file's property sheet will see.
#include <set>

#include "built_image_test.h"

namespace nrv::pe {
namespace {

constexpr uint32_t kVftDll = 2;

const BlockTexts kEnglishTexts = {
    {0, u"Could not install the USB Port Monitor"},
    {2,
     u"The system settings had to be changed in order to correctly support multiple instances of this "
     u"device.\n\nThe computer must be rebooted to complete the installation of this device.\n\nYou must "
     u"close all applications and then press the OK button."},
    {3, u"System Settings Change"},
    {4, u"This version of Windows may not be supported."},
    {5, u"This Operating System may not be supported."},
};
const BlockTexts kJapaneseTexts = {
    {0, u"USBﾌﾟﾘﾝﾀｹｰﾌﾞﾙのﾎﾟｰﾄﾓﾆﾀｰをｲﾝｽﾄｰﾙできませんでした"},
    {2,
     u"システム設定は複数デバイスをサポートできる様に変更されました。\n\nこのデバイスのインストールを終了させ"
     u"るにはウ"
     u"ィンドーズを再起動しなければなりません。\n\nすべてのアプリケーションを終了させ、OKボタンを押して下さい"
     u"。"},
    {3, u"システム設定の変更"},
    {4, u"このﾊﾞｰｼﾞｮﾝのWindowsはｻﾎﾟｰﾄされていません。"},
    {5, u"このｵﾍﾟﾚｰﾃﾝｸﾞｼｽﾃﾑはｻﾎﾟｰﾄされていません。"},
};

constexpr char kImagePath[] = NRVUSBIN_DLL_PATH;

using NrvusbinDll = BuiltImageTest<kImagePath>;

TEST_F(NrvusbinDll, IsAWindows4Dll) { ExpectWindows4Image(true); }

// The installation procedure finds the two operations by these names, undecorated.
TEST_F(NrvusbinDll, ExportsExactlyTheThreeEntries) {
  EXPECT_EQ(ExportTable().module_name, "NRVUSBIN.DLL");
  EXPECT_EQ(ExportNames(), (std::set<std::string>{"CheckVersion", "DllEntryPoint", "InstallPortMonitor"}));
}

TEST_F(NrvusbinDll, EntryPointIsTheExportedDllEntryPoint) { ExpectEntryIsExport("DllEntryPoint"); }

// No C or C++ runtime DLL: only what every Windows 98 and 2000 system has.
TEST_F(NrvusbinDll, ImportsOnlySystemDlls) {
  std::set<std::string> seen = ImportedModules(
      {"kernel32.dll", "advapi32.dll", "user32.dll", "version.dll", "setupapi.dll", "winspool.drv"});
  EXPECT_TRUE(seen.count("version.dll"));
  EXPECT_TRUE(seen.count("winspool.drv"));
}

TEST_F(NrvusbinDll, VersionIs3_00_220) {
  ExpectVersion(kVftDll, "Norvo USB Printer Port Monitor Installer", "NRVUSBIN.DLL");
}

TEST_F(NrvusbinDll, FixedTextsNameTheMonitorItsEnvironmentsAndTheFiles) {
  ExpectFixedTexts({{1, u"Norvo USB Printer Port Monitor"},
                    {2, u"Windows 4.0"},
                    {3, u"NRVUSBMN.DLL"},
                    {4, u"Windows NT x86"},
                    {10, u"NRVUSB.SYS"},
                    {20, u".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU"},
                    {21, u"Enum\\LPTENUM"}});
}

TEST_F(NrvusbinDll, EveryLanguageBlockIsComplete) { ExpectLanguageBlocks(kEnglishTexts, kJapaneseTexts, 7); }

}  // namespace
}  // namespace nrv::pe
