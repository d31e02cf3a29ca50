// A test suite over one image the cross build leaves, read once for the suite.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "pe_image.h"

namespace nrv::pe {

// Module names in an import table compare without regard to case.
inline std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Every language block of the user-mode deliverables' string tables: its first
// identifier and its resource language.
inline const std::map<uint32_t, uint32_t> kLanguageBlocks = {
    {256, 1033},  {512, 1036},  {768, 1040},  {1024, 1031}, {1280, 1034}, {1536, 1034}, {1792, 1046},
    {2048, 1046}, {2304, 1041}, {4096, 1028}, {4352, 2052}, {4608, 1042}, {4864, 1049}, {5120, 1030},
    {5376, 1043}, {5632, 1044}, {5888, 1053}, {6144, 1045}, {6400, 1032}, {8192, 1029}, {8448, 1038},
};
inline constexpr uint32_t kJapaneseBase = 2304;

// Texts by their offset in a language block.
using BlockTexts = std::map<uint32_t, std::u16string>;

template <const char* Path>
class BuiltImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { image_ = PeImage::Load(Path, &load_error_); }
  static void TearDownTestSuite() { image_.reset(); }

  void SetUp() override { ASSERT_TRUE(image_) << Path << ": " << load_error_; }

  static const PeImage& image() { return *image_; }

  static VersionInfo Version() {
    std::string error;
    std::optional<VersionInfo> version = image_->Version(&error);
    EXPECT_TRUE(version) << error;
    return version.value_or(VersionInfo{});
  }

  // A 32-bit i386 image the loader can relocate, made for the Windows 4.0 GUI
  // subsystem, which Windows 98 requires.
  static void ExpectWindows4Image(bool dll) {
    EXPECT_EQ(image_->machine(), kMachineI386);
    EXPECT_EQ(image_->optional_magic(), kMagicPe32);
    EXPECT_EQ((image_->file_characteristics() & kFileDll) != 0, dll);
    EXPECT_TRUE(image_->file_characteristics() & kFileExecutableImage);
    EXPECT_TRUE(image_->file_characteristics() & kFile32BitMachine);
    EXPECT_FALSE(image_->file_characteristics() & kFileRelocsStripped);
    EXPECT_GT(image_->directory(kDirectoryBaseReloc).size, 0u);
    EXPECT_EQ(image_->subsystem(), kSubsystemWindowsGui);
    EXPECT_EQ(image_->major_subsystem_version(), 4);
    EXPECT_EQ(image_->minor_subsystem_version(), 0);
  }

  // The names the image exports, undecorated.
  static std::set<std::string> ExportNames() {
    std::set<std::string> names;
    for (const ExportedFunction& function : ExportTable().functions) names.insert(function.name);
    return names;
  }

  // The entry point is the export of that name, in executable code.
  static void ExpectEntryIsExport(const std::string& name) {
    const Exports exports = ExportTable();
    const auto entry = std::find_if(exports.functions.begin(), exports.functions.end(),
                                    [&](const ExportedFunction& function) { return function.name == name; });
    ASSERT_NE(entry, exports.functions.end()) << name;
    EXPECT_EQ(image_->entry_point(), entry->rva);
    const Section* section = image_->SectionAt(image_->entry_point());
    ASSERT_NE(section, nullptr);
    EXPECT_TRUE(section->characteristics & kSectionMemExecute) << section->name;
  }

  static Exports ExportTable() {
    std::string error;
    std::optional<Exports> exports = image_->Exported(&error);
    EXPECT_TRUE(exports) << error;
    return exports.value_or(Exports{});
  }

  // Identifier -> (language, text).
  static std::map<uint32_t, StringResource> StringTable() {
    std::string error;
    std::optional<std::vector<StringResource>> strings = image_->Strings(&error);
    EXPECT_TRUE(strings) << error;
    std::map<uint32_t, StringResource> table;
    for (const StringResource& string : strings.value_or(std::vector<StringResource>{})) {
      EXPECT_TRUE(table.emplace(string.id, string).second) << "string " << string.id << " stands twice";
    }
    return table;
  }

  // The Japanese block holds the Japanese texts, every other block the English
  // ones, each in the resource language of its block, and besides the fixed
  // texts nothing stands outside the blocks.
  static void ExpectLanguageBlocks(const BlockTexts& english, const BlockTexts& japanese, size_t fixedTexts) {
    const std::map<uint32_t, StringResource> table = StringTable();
    for (const auto& [base, language] : kLanguageBlocks) {
      const BlockTexts& texts = base == kJapaneseBase ? japanese : english;
      for (const auto& [offset, text] : texts) {
        ASSERT_TRUE(table.count(base + offset)) << "block " << base << " offset " << offset;
        const StringResource& string = table.at(base + offset);
        EXPECT_EQ(string.language, language) << "block " << base;
        EXPECT_EQ(string.text, text) << "block " << base << " offset " << offset << ": "
                                     << Utf16ToUtf8(string.text);
      }
    }
    EXPECT_EQ(table.size(), fixedTexts + english.size() * kLanguageBlocks.size());
  }

  // The fixed texts, at the identifiers given.
  static void ExpectFixedTexts(const std::map<uint32_t, std::u16string>& texts) {
    const std::map<uint32_t, StringResource> table = StringTable();
    for (const auto& [id, text] : texts) {
      ASSERT_TRUE(table.count(id)) << "string " << id;
      EXPECT_EQ(table.at(id).text, text) << "string " << id;
      EXPECT_EQ(table.at(id).language, 1033u) << "string " << id;
    }
  }

  // Version 3.00.220 in both numeric and text form, with the file's description and name.
  static void ExpectVersion(uint32_t fileType, const std::string& description, const std::string& fileName) {
    std::string error;
    std::optional<VersionInfo> version = image_->Version(&error);
    ASSERT_TRUE(version) << error;
    ASSERT_TRUE(version->fixed);
    EXPECT_EQ(version->fixed->file_version_ms, 3u << 16);
    EXPECT_EQ(version->fixed->file_version_ls, 220u << 16);
    EXPECT_EQ(version->fixed->product_version_ms, 3u << 16);
    EXPECT_EQ(version->fixed->product_version_ls, 220u << 16);
    EXPECT_EQ(version->fixed->file_os, 4u) << "VOS__WINDOWS32";
    EXPECT_EQ(version->fixed->file_type, fileType);
    ASSERT_TRUE(version->strings.count("040904B0")) << "no 040904B0 string table";
    const std::map<std::string, std::string> expected = {
        {"FileVersion", "3.00.220"}, {"ProductVersion", "3.00.220"}, {"FileDescription", description},
        {"InternalName", fileName},  {"OriginalFilename", fileName},
    };
    EXPECT_EQ(version->strings.at("040904B0"), expected);
    EXPECT_EQ(version->translations, (std::vector<Translation>{{0x409, 1200}}));
  }

  // The modules the image imports from, lower-cased; each must be allowed and name functions.
  static std::set<std::string> ImportedModules(const std::set<std::string>& allowed) {
    std::string error;
    std::optional<std::vector<ImportedModule>> imports = image_->Imports(&error);
    EXPECT_TRUE(imports) << error;
    std::set<std::string> seen;
    for (const ImportedModule& module : imports.value_or(std::vector<ImportedModule>{})) {
      const std::string name = Lower(module.name);
      EXPECT_TRUE(allowed.count(name)) << "imports from " << module.name;
      EXPECT_FALSE(module.functions.empty()) << module.name;
      seen.insert(name);
    }
    return seen;
  }

 private:
  static inline std::optional<PeImage> image_;
  static inline std::string load_error_;
};

}  // namespace nrv::pe
