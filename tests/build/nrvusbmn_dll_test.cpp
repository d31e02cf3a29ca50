// NRVUSBMN.DLL as the cross build leaves it: what the Windows loader, the
// spooler and the file's property sheet will see.
#include <map>
#include <set>

#include "built_image_test.h"

namespace nrv::pe {
namespace {

constexpr uint32_t kVosWindows32 = 0x00000004;
constexpr uint32_t kVftDll = 2;

constexpr uint32_t kEnglishBase = 256;
constexpr uint32_t kJapaneseBase = 2304;

// Every language block of the table: its first identifier and its resource language.
const std::map<uint32_t, uint32_t> kLanguageBlocks = {
    {256, 1033},  {512, 1036},  {768, 1040},  {1024, 1031}, {1280, 1034}, {1536, 1034}, {1792, 1046},
    {2048, 1046}, {2304, 1041}, {4096, 1028}, {4352, 2052}, {4608, 1042}, {4864, 1049}, {5120, 1030},
    {5376, 1043}, {5632, 1044}, {5888, 1053}, {6144, 1045}, {6400, 1032}, {8192, 1029}, {8448, 1038},
};

const std::u16string kEnglishTexts[] = {u"Unknown USB Printer", u"USB Port Not Connected", u"USB Port"};
const std::u16string kJapaneseTexts[] = {u"不明なUSBﾌﾟﾘﾝﾀ", u"USBﾎﾟｰﾄが接続されていません", u"USBﾎﾟｰﾄ"};

constexpr char kImagePath[] = NRVUSBMN_DLL_PATH;

class NrvusbmnDll : public BuiltImageTest<kImagePath> {
 protected:
  static Exports ExportTable() {
    std::string error;
    std::optional<Exports> exports = image().Exported(&error);
    EXPECT_TRUE(exports) << error;
    return exports.value_or(Exports{});
  }

  // Identifier -> (language, text).
  static std::map<uint32_t, StringResource> StringTable() {
    std::string error;
    std::optional<std::vector<StringResource>> strings = image().Strings(&error);
    EXPECT_TRUE(strings) << error;
    std::map<uint32_t, StringResource> table;
    for (const StringResource& string : strings.value_or(std::vector<StringResource>{})) {
      EXPECT_TRUE(table.emplace(string.id, string).second) << "string " << string.id << " stands twice";
    }
    return table;
  }
};

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
  std::string error;
  std::optional<VersionInfo> version = image().Version(&error);
  ASSERT_TRUE(version) << error;
  ASSERT_TRUE(version->fixed);
  EXPECT_EQ(version->fixed->file_version_ms, (3u << 16) | 0u);
  EXPECT_EQ(version->fixed->file_version_ls, (220u << 16) | 0u);
  EXPECT_EQ(version->fixed->product_version_ms, (3u << 16) | 0u);
  EXPECT_EQ(version->fixed->product_version_ls, (220u << 16) | 0u);
  EXPECT_EQ(version->fixed->file_os, kVosWindows32);
  EXPECT_EQ(version->fixed->file_type, kVftDll);
  ASSERT_TRUE(version->strings.count("040904B0")) << "no 040904B0 string table";
  const std::map<std::string, std::string>& strings = version->strings.at("040904B0");
  const std::map<std::string, std::string> expected = {
      {"FileVersion", "3.00.220"},
      {"ProductVersion", "3.00.220"},
      {"FileDescription", "Norvo USB Printer Port Monitor"},
      {"InternalName", "NRVUSBMN.DLL"},
      {"OriginalFilename", "NRVUSBMN.DLL"},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_TRUE(strings.count(name)) << "missing " << name;
    EXPECT_EQ(strings.at(name), value) << name;
  }
  EXPECT_EQ(version->translations, (std::vector<Translation>{{0x409, 1200}}));
}

TEST_F(NrvusbmnDll, FixedTextsIncludeTheMonitorName) {
  const std::map<uint32_t, StringResource> table = StringTable();
  ASSERT_TRUE(table.count(3));
  EXPECT_EQ(table.at(3).text, u"Norvo USB Printer Port Monitor");
  ASSERT_TRUE(table.count(1));
  EXPECT_EQ(table.at(1).text, u"NRVUSB");
  ASSERT_TRUE(table.count(2));
  EXPECT_EQ(table.at(2).text, u"NRVUSB");
}

TEST_F(NrvusbmnDll, JapaneseBlockHoldsTheJapaneseTexts) {
  const std::map<uint32_t, StringResource> table = StringTable();
  for (uint32_t offset = 0; offset < 3; ++offset) {
    ASSERT_TRUE(table.count(kJapaneseBase + offset)) << "offset " << offset;
    const StringResource& string = table.at(kJapaneseBase + offset);
    EXPECT_EQ(string.language, 1041u);
    EXPECT_EQ(string.text, kJapaneseTexts[offset]) << "offset " << offset << ": " << Utf16ToUtf8(string.text);
  }
}

// Every other block is complete and English, in the resource language of its block,
// and nothing stands outside the blocks.
TEST_F(NrvusbmnDll, EveryOtherBlockHoldsTheEnglishTexts) {
  const std::map<uint32_t, StringResource> table = StringTable();
  for (const auto& [base, language] : kLanguageBlocks) {
    if (base == kJapaneseBase) {
      continue;
    }
    for (uint32_t offset = 0; offset < 3; ++offset) {
      ASSERT_TRUE(table.count(base + offset)) << "block " << base << " offset " << offset;
      const StringResource& string = table.at(base + offset);
      EXPECT_EQ(string.language, language) << "block " << base;
      EXPECT_EQ(string.text, kEnglishTexts[offset]) << "block " << base << " offset " << offset;
    }
  }
  EXPECT_EQ(table.size(), 3 + 3 * kLanguageBlocks.size());
  EXPECT_EQ(table.at(kEnglishBase + 1).text, u"USB Port Not Connected");
}

}  // namespace
}  // namespace nrv::pe
