// NRVUSBUN.EXE as the cross build leaves it: a windowed program without a C
// runtime, with its texts and version.
#include <set>

#include "built_image_test.h"

namespace nrv::pe {
namespace {

constexpr uint32_t kVftApp = 1;

const BlockTexts kEnglishTexts = {
    {0, u"Are you sure you want to uninstall the selected device and all of its components?"},
    {1, u"Confirm Uninstall"},
    {2,
     u"To finish uninstalling the device, you must reboot your computer\n\nDo you want to reboot your "
     u"computer now?"},
    {3, u"Confirm Reboot"},
};
const BlockTexts kJapaneseTexts = {
    {0, u"指定されたデバイスとそのコンポーネントを全て削除しますか？"},
    {1, u"削除の確認"},
    {2, u"デバイスの削除を完了させるために、パソコンを再起動しなければなりません。今再起動しますか？"},
    {3, u"再起動の確認"},
};

constexpr char kImagePath[] = NRVUSBUN_EXE_PATH;

using NrvusbunExe = BuiltImageTest<kImagePath>;

TEST_F(NrvusbunExe, IsAWindows4GuiProgram) { ExpectWindows4Image(false); }

TEST_F(NrvusbunExe, ExportsNothingAndStartsInCode) {
  EXPECT_TRUE(ExportNames().empty());
  const Section* section = image().SectionAt(image().entry_point());
  ASSERT_NE(section, nullptr);
  EXPECT_TRUE(section->characteristics & kSectionMemExecute) << section->name;
}

TEST_F(NrvusbunExe, ImportsOnlySystemDlls) {
  std::set<std::string> seen =
      ImportedModules({"kernel32.dll", "advapi32.dll", "user32.dll", "setupapi.dll", "winspool.drv"});
  EXPECT_TRUE(seen.count("user32.dll"));
  EXPECT_TRUE(seen.count("winspool.drv"));
}

TEST_F(NrvusbunExe, VersionIs3_00_220) {
  ExpectVersion(kVftApp, "Norvo USB Printer UnInstaller", "NRVUSBUN.EXE");
}

TEST_F(NrvusbunExe, FixedTextsNameTheFilesAndKeysOfThePackage) {
  ExpectFixedTexts({
      {1, u"NRVUSB.SYS"},
      {2, u"NRVUSBMN.DLL"},
      {3, u"NRVUSBIN.DLL"},
      {4, u"NRVUSBCI.DLL"},
      {5, u"NRVUSBUN.EXE"},
      {20, u"INF\\OTHER\\"},
      {21, u"INF\\"},
      {22, u".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU"},
      {40, u"System\\CurrentControlSet\\control\\Print\\Monitors\\Norvo USB Printer Port Monitor"},
      {41, u"System\\CurrentControlSet\\Services\\Class\\NrvUSBPrinter"},
      {42, u"System\\CurrentControlSet\\Services\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}"},
      {43, u"System\\CurrentControlSet\\Control\\Class\\{762bb1b6-5164-11d1-b00b-00c0d1570f9e}"},
      {44, u"System\\CurrentControlSet\\Services\\nrvusb"},
      {60, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NrvUSBPrinter"},
      {61, u"Norvo USB Printer Port Monitor"},
  });
}

TEST_F(NrvusbunExe, EveryLanguageBlockIsComplete) { ExpectLanguageBlocks(kEnglishTexts, kJapaneseTexts, 15); }

}  // namespace
}  // namespace nrv::pe
