// NRVUSBMN.DLL as the cross build leaves it: what the Windows loader, the
// spooler and the file's property sheet will see.
#include <map>
#include <set>

#include "built_image_test.h"

namespace nrv::pe {
namespace {

constexpr uint32_t kVftDll = 2;

const BlockTexts kEnglishTexts = {
    {0, u"Unknown USB Printer"}, {1, u"USB Port Not Connected"}, {2, u"USB Port"}};
const BlockTexts kJapaneseTexts = {
    {0, u"不明なUSBﾌﾟﾘﾝﾀ"}, {1, u"USBﾎﾟｰﾄが接続されていません"}, {2, u"USBﾎﾟｰﾄ"}};

constexpr char kImagePath[] = NRVUSBMN_DLL_PATH;

using NrvusbmnDll = BuiltImageTest<kImagePath>;

TEST_F(NrvusbmnDll, IsA32BitI386Dll) {
  EXPECT_EQ(image().machine(), kMachineI386);
  EXPECT_EQ(image().optional_magic(), kMagicPe32);
  EXPECT_TRUE(image().file_characteristics() & kFileDll);
  EXPECT_TRUE(image().file_characteristics() & kFile32BitMachine);
  EXPECT_FALSE(image().file_characteristics() & kFileRelocsStripped);
  EXPECT_GT(image().directory(kDirectoryBaseReloc).size, 0u);
}

// Windows 98 loads only images made for subsystem version 4.
TEST_F(NrvusbmnDll, TargetsTheWindows4Subsystem) {
  EXPECT_EQ(image().subsystem(), kSubsystemWindowsGui);
  EXPECT_EQ(image().major_subsystem_version(), 4);
  EXPECT_EQ(image().minor_subsystem_version(), 0);
}

// The spooler looks the two entries up by these names, undecorated.
TEST_F(NrvusbmnDll, ExportsExactlyTheTwoEntries) {
  const Exports exports = ExportTable();
  EXPECT_EQ(exports.module_name, "NRVUSBMN.DLL");
  std::set<std::string> names;
  for (const ExportedFunction& function : exports.functions) {
    names.insert(function.name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"DllEntryPoint", "InitializeMonitorEx"}));
}

TEST_F(NrvusbmnDll, EntryPointIsTheExportedDllEntryPoint) {
  const Exports exports = ExportTable();
  const auto entry =
      std::find_if(exports.functions.begin(), exports.functions.end(),
                   [](const ExportedFunction& function) { return function.name == "DllEntryPoint"; });
  ASSERT_NE(entry, exports.functions.end());
  EXPECT_EQ(image().entry_point(), entry->rva);
  const Section* section = image().SectionAt(image().entry_point());
  ASSERT_NE(section, nullptr);
  EXPECT_TRUE(section->characteristics & kSectionMemExecute) << section->name;
}

// No C or C++ runtime DLL: only what every Windows 98 and 2000 system has.
TEST_F(NrvusbmnDll, ImportsOnlySystemDlls) {
  std::set<std::string> seen =
      ImportedModules({"kernel32.dll", "advapi32.dll", "user32.dll", "setupapi.dll", "winspool.drv"});
  EXPECT_TRUE(seen.count("kernel32.dll"));
  EXPECT_TRUE(seen.count("setupapi.dll"));
}

TEST_F(NrvusbmnDll, VersionIs3_00_220) {
  ExpectVersion(kVftDll, "Norvo USB Printer Port Monitor", "NRVUSBMN.DLL");
}

TEST_F(NrvusbmnDll, FixedTextsIncludeTheMonitorName) {
  ExpectFixedTexts({{1, u"NRVUSB"}, {2, u"NRVUSB"}, {3, u"Norvo USB Printer Port Monitor"}});
}

// The Japanese block holds the Japanese texts, every other block the English ones.
TEST_F(NrvusbmnDll, EveryLanguageBlockIsComplete) { ExpectLanguageBlocks(kEnglishTexts, kJapaneseTexts, 3); }

}  // namespace
}  // namespace nrv::pe
