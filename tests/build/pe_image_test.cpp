// The PE reader on images built here byte by byte: well-formed ones it must read
// exactly, malformed ones it must reject with a reason and without reading outside
// the buffer (the sanitizer builds run these too).
#include "pe_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string_view>
#include <utility>

namespace nrv::pe {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v));
  Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

void Append16(Bytes& b, uint16_t v) { Put16(b, b.size(), v); }

uint32_t Le32At(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void Append32(Bytes& b, uint32_t v) { Put32(b, b.size(), v); }

void PadTo4(Bytes& b) { b.resize((b.size() + 3) & ~size_t{3}); }

// A PE32 image with the headers in the first 0x200 bytes and one section, ".data" at
// RVA 0x1000, holding whatever the test adds.
class ImageBuilder {
 public:
  static constexpr uint32_t kPeOffset = 0x80;
  static constexpr uint32_t kOptionalOffset = kPeOffset + 24;
  static constexpr uint32_t kOptionalSize = 224;
  static constexpr uint32_t kSectionTableOffset = kOptionalOffset + kOptionalSize;
  static constexpr uint32_t kSectionRva = 0x1000;
  static constexpr uint32_t kSectionOffset = 0x200;

  uint16_t machine = kMachineI386;
  uint16_t magic = kMagicPe32;
  uint16_t subsystem = kSubsystemNative;
  DataDirectory directories[16] = {};
  Bytes section;

  // Appends bytes to the section on a 4-byte boundary; returns their RVA.
  uint32_t Add(const Bytes& bytes) {
    PadTo4(section);
    const uint32_t rva = kSectionRva + static_cast<uint32_t>(section.size());
    section.insert(section.end(), bytes.begin(), bytes.end());
    return rva;
  }

  uint32_t AddString(std::string_view text) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    return Add(bytes);
  }

  // Modules with functions imported by name, or by ordinal when written "#<n>".
  void AddImports(const std::vector<std::pair<std::string, std::vector<std::string>>>& modules) {
    Bytes descriptors;
    for (const auto& [module, functions] : modules) {
      Bytes thunks;
      for (const std::string& function : functions) {
        if (function[0] == '#') {
          Append32(thunks, 0x80000000u | static_cast<uint32_t>(std::stoul(function.substr(1))));
        } else {
          Bytes hint_name = {0, 0};
          hint_name.insert(hint_name.end(), function.begin(), function.end());
          hint_name.push_back(0);
          Append32(thunks, Add(hint_name));
        }
      }
      Append32(thunks, 0);
      const uint32_t thunks_rva = Add(thunks);
      const uint32_t name_rva = AddString(module);
      Append32(descriptors, thunks_rva);  // lookup table
      Append32(descriptors, 0);
      Append32(descriptors, 0);
      Append32(descriptors, name_rva);
      Append32(descriptors, thunks_rva);  // address table, bound in place
    }
    descriptors.resize(descriptors.size() + 20);  // terminating descriptor
    directories[kDirectoryImport] = {Add(descriptors), static_cast<uint32_t>(descriptors.size())};
  }

  // Functions at the given RVAs, exported by name from ordinal base 1 (by ordinal
  // only when the name is empty).
  void AddExports(std::string_view module, const std::vector<std::pair<std::string, uint32_t>>& functions) {
    Bytes addresses, names, ordinals;
    for (size_t i = 0; i < functions.size(); ++i) {
      Append32(addresses, functions[i].second);
      if (!functions[i].first.empty()) {
        Append32(names, AddString(functions[i].first));
        Append16(ordinals, static_cast<uint16_t>(i));
      }
    }
    const uint32_t name_count = static_cast<uint32_t>(names.size() / 4);
    Bytes directory(12, 0);
    Append32(directory, AddString(module));
    Append32(directory, 1);
    Append32(directory, static_cast<uint32_t>(functions.size()));
    Append32(directory, name_count);
    Append32(directory, Add(addresses));
    Append32(directory, names.empty() ? 0 : Add(names));
    Append32(directory, ordinals.empty() ? 0 : Add(ordinals));
    directories[kDirectoryExport] = {Add(directory), static_cast<uint32_t>(directory.size())};
  }

  // A resource tree with one resource: type, name, language.
  void AddResource(uint32_t type, const Bytes& data, uint32_t name = 1, uint32_t language = 0x409) {
    Bytes tree;
    for (uint32_t level = 0; level < 3; ++level) {
      const uint32_t id = level == 0 ? type : level == 1 ? name : language;
      const uint32_t next = static_cast<uint32_t>(tree.size()) + 24;
      Put16(tree, tree.size() + 14, 1);  // one ID entry
      Append32(tree, id);
      Append32(tree, level < 2 ? (0x80000000u | next) : next);
    }
    const uint32_t data_offset = static_cast<uint32_t>(tree.size()) + 16;
    const uint32_t base = kSectionRva + static_cast<uint32_t>((section.size() + 3) & ~size_t{3});
    Append32(tree, base + data_offset);
    Append32(tree, static_cast<uint32_t>(data.size()));
    Append32(tree, 0);
    Append32(tree, 0);
    tree.insert(tree.end(), data.begin(), data.end());
    directories[kDirectoryResource] = {Add(tree), static_cast<uint32_t>(tree.size())};
  }

  Bytes Build() const {
    const uint32_t raw_size = static_cast<uint32_t>((section.size() + 0x1FF) & ~size_t{0x1FF});
    Bytes b(kSectionOffset + raw_size, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kPeOffset);
    std::memcpy(&b[kPeOffset], "PE\0\0", 4);
    Put16(b, kPeOffset + 4, machine);
    Put16(b, kPeOffset + 6, 1);  // sections
    Put16(b, kPeOffset + 20, kOptionalSize);
    Put16(b, kPeOffset + 22, kFileExecutableImage | kFile32BitMachine | kFileDll);
    Put16(b, kOptionalOffset, magic);
    Put32(b, kOptionalOffset + 16, kSectionRva);  // entry point
    Put32(b, kOptionalOffset + 28, 0x10000);      // image base
    Put32(b, kOptionalOffset + 32, 0x1000);
    Put32(b, kOptionalOffset + 36, 0x200);
    Put32(b, kOptionalOffset + 56, kSectionRva + ((raw_size + 0xFFF) & ~0xFFFu));
    Put32(b, kOptionalOffset + 60, kSectionOffset);
    Put16(b, kOptionalOffset + 68, subsystem);
    Put32(b, kOptionalOffset + 92, 16);
    for (size_t i = 0; i < 16; ++i) {
      Put32(b, kOptionalOffset + 96 + 8 * i, directories[i].rva);
      Put32(b, kOptionalOffset + 100 + 8 * i, directories[i].size);
    }
    std::memcpy(&b[kSectionTableOffset], ".data", 5);
    Put32(b, kSectionTableOffset + 8, static_cast<uint32_t>(section.size()));
    Put32(b, kSectionTableOffset + 12, kSectionRva);
    Put32(b, kSectionTableOffset + 16, raw_size);
    Put32(b, kSectionTableOffset + 20, kSectionOffset);
    Put32(b, kSectionTableOffset + 36, 0xC0000040);
    std::copy(section.begin(), section.end(), b.begin() + kSectionOffset);
    return b;
  }
};

// One node of a version resource, laid out as the resource compiler does.
struct VersionNode {
  explicit VersionNode(std::u16string key_, uint16_t type_ = 1, uint16_t value_length_ = 0, Bytes value_ = {})
      : key(std::move(key_)), type(type_), value_length(value_length_), value(std::move(value_)) {}

  std::u16string key;
  uint16_t type;
  uint16_t value_length;
  Bytes value;
  std::vector<VersionNode> children;

  Bytes Serialize() const {
    Bytes b(6, 0);
    for (char16_t unit : key) Append16(b, unit);
    Append16(b, 0);
    PadTo4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const VersionNode& child : children) {
      PadTo4(b);
      Bytes serialized = child.Serialize();
      b.insert(b.end(), serialized.begin(), serialized.end());
    }
    Put16(b, 0, static_cast<uint16_t>(b.size()));
    Put16(b, 2, value_length);
    Put16(b, 4, type);
    return b;
  }
};

VersionNode Text(std::u16string key, std::u16string value) {
  VersionNode node(std::move(key));
  for (char16_t unit : value) Append16(node.value, unit);
  Append16(node.value, 0);
  node.value_length = static_cast<uint16_t>(value.size() + 1);
  return node;
}

VersionNode Block(std::u16string key, std::vector<VersionNode> children) {
  VersionNode node(std::move(key));
  node.children = std::move(children);
  return node;
}

Bytes FixedInfo(uint32_t signature = kFixedFileInfoSignature) {
  Bytes b;
  const uint32_t fields[13] = {signature, 0x00010000, 0x00020001, 0x00030004, 0x00050006, 0x00070008, 0x3F,
                               0,         0x00040004, 3,          7,          0,          0};
  for (uint32_t field : fields) Append32(b, field);
  return b;
}

// A version resource with an odd-length string table key, an odd-length value and a
// non-ASCII value, so every padding rule is exercised.
VersionNode SampleVersion() {
  VersionNode root(u"VS_VERSION_INFO", 0, 52, FixedInfo());
  VersionNode translation(u"Translation", 0, 8);
  for (uint32_t pair : {0x04B00409u, 0x03A40411u}) Append32(translation.value, pair);
  root.children = {
      Block(u"StringFileInfo",
            {Block(u"040904B0", {Text(u"FileVersion", u"1.2.3"), Text(u"LegalCopyright", u"\u00A9 Norvo"),
                                 Text(u"Comments", u"")}),
             Block(u"041103A4", {Text(u"FileDescription", u"\u30D7\u30EA\u30F3\u30BF")})}),
      Block(u"VarFileInfo", {translation}),
  };
  return root;
}

// The data of one RT_STRING resource: 16 strings, missing ones empty.
Bytes StringBundle(const std::map<uint32_t, std::u16string>& strings) {
  Bytes b;
  for (uint32_t i = 0; i < 16; ++i) {
    const auto it = strings.find(i);
    const std::u16string text = it != strings.end() ? it->second : u"";
    Append16(b, static_cast<uint16_t>(text.size()));
    for (char16_t unit : text) Append16(b, unit);
  }
  return b;
}

ImageBuilder FullImage() {
  ImageBuilder builder;
  builder.AddImports({{"ntoskrnl.exe", {"IoCompleteRequest", "KeSetEvent"}}, {"HAL.dll", {"#17"}}});
  builder.AddResource(kResourceTypeVersion, SampleVersion().Serialize());
  builder.AddExports("SAMPLE.DLL", {{"First", 0x1010}, {"Second", 0x1020}});
  return builder;
}

std::optional<PeImage> ParseOk(const Bytes& bytes) {
  std::string error;
  std::optional<PeImage> image = PeImage::Parse(bytes, &error);
  EXPECT_TRUE(image.has_value()) << error;
  return image;
}

// Parsing must fail, with a reason that mentions `reason`.
void ExpectRejected(const Bytes& bytes, std::string_view reason) {
  std::string error;
  EXPECT_FALSE(PeImage::Parse(bytes, &error).has_value());
  EXPECT_NE(error.find(reason), std::string::npos) << "error was: " << error;
}

TEST(PeImageHeaders, ReadsAWellFormedImage) {
  ImageBuilder builder;
  builder.subsystem = kSubsystemWindowsGui;
  const uint32_t rva = builder.AddString("payload");
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  EXPECT_EQ(image->machine(), kMachineI386);
  EXPECT_EQ(image->optional_magic(), kMagicPe32);
  EXPECT_EQ(image->subsystem(), kSubsystemWindowsGui);
  EXPECT_EQ(image->image_base(), 0x10000u);
  EXPECT_EQ(image->entry_point(), ImageBuilder::kSectionRva);
  ASSERT_EQ(image->sections().size(), 1u);
  EXPECT_EQ(image->sections()[0].name, ".data");
  std::span<const uint8_t> payload = image->MappedRange(rva, 8);
  ASSERT_EQ(payload.size(), 8u);
  EXPECT_EQ(std::string(payload.begin(), payload.end() - 1), "payload");
  // Past the section's virtual size the bytes are not the file's.
  EXPECT_TRUE(image->MappedRange(rva, 9).empty());
  EXPECT_TRUE(image->MappedRange(0x9000, 1).empty());
  EXPECT_EQ(image->directory(kDirectoryImport).rva, 0u);
  EXPECT_EQ(image->directory(99).rva, 0u);
}

TEST(PeImageHeaders, ChecksumCoversEveryByteButItsOwnField) {
  Bytes bytes = FullImage().Build();
  std::optional<PeImage> image = ParseOk(bytes);
  ASSERT_TRUE(image);
  const uint32_t sum = image->ComputeChecksum();

  Bytes with_field = bytes;
  Put32(with_field, ImageBuilder::kOptionalOffset + 64, 0xDEADBEEF);
  EXPECT_EQ(ParseOk(with_field)->ComputeChecksum(), sum);

  Bytes changed = bytes;
  changed[ImageBuilder::kSectionOffset + 1] ^= 0x01;
  EXPECT_NE(ParseOk(changed)->ComputeChecksum(), sum);
  changed = bytes;
  changed.back() ^= 0x80;
  EXPECT_NE(ParseOk(changed)->ComputeChecksum(), sum);
}

TEST(PeImageHeaders, RejectsEmptyAndTruncatedDosHeader) {
  ExpectRejected({}, "truncated DOS header");
  Bytes bytes = ImageBuilder().Build();
  bytes.resize(63);
  ExpectRejected(bytes, "truncated DOS header");
}

TEST(PeImageHeaders, RejectsBadDosMagic) {
  Bytes bytes = ImageBuilder().Build();
  bytes[1] = 'X';
  ExpectRejected(bytes, "MZ");
}

TEST(PeImageHeaders, RejectsPeHeaderPastTheEnd) {
  Bytes bytes = ImageBuilder().Build();
  Put32(bytes, 0x3C, 0xFFFFFFF0);  // would wrap a careless 32-bit sum
  ExpectRejected(bytes, "past the end");
  Put32(bytes, 0x3C, static_cast<uint32_t>(bytes.size()) - 8);
  ExpectRejected(bytes, "past the end");
}

TEST(PeImageHeaders, RejectsBadPeSignature) {
  Bytes bytes = ImageBuilder().Build();
  bytes[ImageBuilder::kPeOffset + 1] = 'X';
  ExpectRejected(bytes, "PE signature");
}

TEST(PeImageHeaders, RejectsUnknownOptionalHeaderMagic) {
  ImageBuilder builder;
  builder.magic = 0x0107;
  ExpectRejected(builder.Build(), "magic");
}

TEST(PeImageHeaders, RejectsOptionalHeaderTooSmallForItsDirectories) {
  Bytes bytes = ImageBuilder().Build();
  Put32(bytes, ImageBuilder::kOptionalOffset + 92, 0xFFFFFFFF);
  ExpectRejected(bytes, "data directories");
  bytes = ImageBuilder().Build();
  Put16(bytes, ImageBuilder::kPeOffset + 20, 90);
  ExpectRejected(bytes, "too small");
}

TEST(PeImageHeaders, RejectsSectionTableAndDataPastTheEnd) {
  Bytes bytes = ImageBuilder().Build();
  Put16(bytes, ImageBuilder::kPeOffset + 6, 20);  // 20 section headers do not fit the file
  bytes.resize(ImageBuilder::kSectionOffset);
  ExpectRejected(bytes, "truncated section table");

  bytes = ImageBuilder().Build();
  Put32(bytes, ImageBuilder::kSectionTableOffset + 16, 0xFFFFFE00);
  ExpectRejected(bytes, "past the end");
}

TEST(PeImageHeaders, RejectsEveryTruncationOfAnImage) {
  const Bytes bytes = FullImage().Build();
  for (size_t length = 0; length < bytes.size(); ++length) {
    std::string error;
    ASSERT_FALSE(PeImage::Parse(Bytes(bytes.begin(), bytes.begin() + length), &error)) << "length " << length;
    ASSERT_FALSE(error.empty()) << "length " << length;
  }
}

TEST(PeImageImports, ListsModulesAndFunctions) {
  std::optional<PeImage> image = ParseOk(FullImage().Build());
  ASSERT_TRUE(image);
  std::string error;
  auto imports = image->Imports(&error);
  ASSERT_TRUE(imports) << error;
  ASSERT_EQ(imports->size(), 2u);
  EXPECT_EQ((*imports)[0].name, "ntoskrnl.exe");
  EXPECT_EQ((*imports)[0].functions, (std::vector<std::string>{"IoCompleteRequest", "KeSetEvent"}));
  EXPECT_EQ((*imports)[1].name, "HAL.dll");
  EXPECT_EQ((*imports)[1].functions, (std::vector<std::string>{"#17"}));
}

TEST(PeImageImports, NoImportDirectoryMeansNoImports) {
  std::optional<PeImage> image = ParseOk(ImageBuilder().Build());
  ASSERT_TRUE(image);
  auto imports = image->Imports(nullptr);
  ASSERT_TRUE(imports);
  EXPECT_TRUE(imports->empty());
}

TEST(PeImageImports, RejectsDescriptorsOutsideTheImage) {
  ImageBuilder builder;
  builder.AddString("x");
  builder.directories[kDirectoryImport] = {0x9000, 40};
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Imports(&error));
  EXPECT_NE(error.find("outside"), std::string::npos) << error;
}

TEST(PeImageImports, RejectsDescriptorTableWithoutTerminator) {
  ImageBuilder builder;
  builder.AddImports({{"ntoskrnl.exe", {"KeSetEvent"}}});
  builder.section.resize(builder.section.size() - 20);  // drop the terminating descriptor
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Imports(&error));
  EXPECT_NE(error.find("outside"), std::string::npos) << error;
}

TEST(PeImageImports, RejectsModuleNameRunningOffTheSection) {
  ImageBuilder builder;
  Bytes descriptor(40, 0);
  const uint32_t descriptor_rva = builder.Add(descriptor);
  const uint32_t name_rva = builder.Add(Bytes{'n', 't', 'o', 's'});  // no terminator, section ends here
  Put32(builder.section, descriptor_rva - ImageBuilder::kSectionRva + 12, name_rva);
  Put32(builder.section, descriptor_rva - ImageBuilder::kSectionRva + 16, name_rva);
  builder.directories[kDirectoryImport] = {descriptor_rva, 40};
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Imports(&error));
  EXPECT_NE(error.find("not terminated"), std::string::npos) << error;
}

TEST(PeImageResources, WalksTypeNameAndLanguage) {
  ImageBuilder builder;
  builder.AddResource(kResourceTypeString, Bytes{1, 2, 3, 4});
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  auto resources = image->Resources(&error);
  ASSERT_TRUE(resources) << error;
  ASSERT_EQ(resources->size(), 1u);
  const ResourceEntry& entry = (*resources)[0];
  EXPECT_FALSE(entry.type.is_name);
  EXPECT_EQ(entry.type.id, kResourceTypeString);
  EXPECT_EQ(entry.name.id, 1u);
  EXPECT_EQ(entry.language, 0x409u);
  std::span<const uint8_t> data = image->MappedRange(entry.data_rva, entry.size);
  EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{1, 2, 3, 4}));

  EXPECT_FALSE(image->Version(&error));
  EXPECT_NE(error.find("no version resource"), std::string::npos) << error;
}

TEST(PeImageResources, RejectsMoreEntriesThanTheTreeHolds) {
  ImageBuilder builder;
  builder.AddResource(kResourceTypeVersion, SampleVersion().Serialize());
  const uint32_t tree = builder.directories[kDirectoryResource].rva - ImageBuilder::kSectionRva;
  Put16(builder.section, tree + 14, 0x4000);
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Resources(&error));
  EXPECT_NE(error.find("more entries"), std::string::npos) << error;
}

TEST(PeImageResources, RejectsTreeDeeperThanThreeLevels) {
  ImageBuilder builder;
  builder.AddResource(kResourceTypeVersion, SampleVersion().Serialize());
  const uint32_t tree = builder.directories[kDirectoryResource].rva - ImageBuilder::kSectionRva;
  // The language entry points back at the root as if it were a directory.
  Put32(builder.section, tree + 48 + 16 + 4, 0x80000000u);
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Resources(&error));
  EXPECT_NE(error.find("deeper"), std::string::npos) << error;
}

TEST(PeImageExports, ListsNamesOrdinalsAndAddresses) {
  ImageBuilder builder;
  builder.AddExports("SAMPLE.DLL", {{"Alpha", 0x1100}, {"", 0x1200}, {"Gamma", 0}, {"Delta", 0x1300}});
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  std::optional<Exports> exports = image->Exported(&error);
  ASSERT_TRUE(exports) << error;
  EXPECT_EQ(exports->module_name, "SAMPLE.DLL");
  // The slot with address 0 is an unused ordinal, not an export.
  ASSERT_EQ(exports->functions.size(), 3u);
  EXPECT_EQ(exports->functions[0].name, "Alpha");
  EXPECT_EQ(exports->functions[0].ordinal, 1u);
  EXPECT_EQ(exports->functions[0].rva, 0x1100u);
  EXPECT_EQ(exports->functions[1].name, "");
  EXPECT_EQ(exports->functions[1].ordinal, 2u);
  EXPECT_EQ(exports->functions[2].name, "Delta");
  EXPECT_EQ(exports->functions[2].ordinal, 4u);
}

TEST(PeImageExports, NoExportDirectoryMeansNoExports) {
  std::optional<PeImage> image = ParseOk(ImageBuilder().Build());
  ASSERT_TRUE(image);
  std::string error;
  std::optional<Exports> exports = image->Exported(&error);
  ASSERT_TRUE(exports) << error;
  EXPECT_TRUE(exports->functions.empty());
}

TEST(PeImageExports, RejectsANameForAFunctionThatIsNotThere) {
  ImageBuilder builder;
  builder.AddExports("SAMPLE.DLL", {{"Alpha", 0x1100}});
  const uint32_t directory = builder.directories[kDirectoryExport].rva - ImageBuilder::kSectionRva;
  const uint32_t ordinals = Le32At(builder.section, directory + 36) - ImageBuilder::kSectionRva;
  Put16(builder.section, ordinals, 5);
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Exported(&error));
  EXPECT_NE(error.find("names no function"), std::string::npos) << error;
}

TEST(PeImageExports, RejectsTablesOutsideTheFile) {
  ImageBuilder builder;
  builder.AddExports("SAMPLE.DLL", {{"Alpha", 0x1100}});
  const uint32_t directory = builder.directories[kDirectoryExport].rva - ImageBuilder::kSectionRva;
  Put32(builder.section, directory + 20, 0x10000);  // functions far past the section
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  EXPECT_FALSE(image->Exported(&error));
  EXPECT_NE(error.find("outside the file"), std::string::npos) << error;
}

TEST(PeImageStrings, NumbersEachBundlesStringsAndSkipsEmptyOnes) {
  ImageBuilder builder;
  // Bundle 145 holds the identifiers 2304 to 2319.
  builder.AddResource(kResourceTypeString, StringBundle({{0, u"\u4E0D\u660E"}, {2, u"USB"}, {15, u"last"}}),
                      145, 0x411);
  std::optional<PeImage> image = ParseOk(builder.Build());
  ASSERT_TRUE(image);
  std::string error;
  std::optional<std::vector<StringResource>> strings = image->Strings(&error);
  ASSERT_TRUE(strings) << error;
  ASSERT_EQ(strings->size(), 3u);
  EXPECT_EQ((*strings)[0].id, 2304u);
  EXPECT_EQ((*strings)[0].language, 0x411u);
  EXPECT_EQ((*strings)[0].text, u"\u4E0D\u660E");
  EXPECT_EQ((*strings)[1].id, 2306u);
  EXPECT_EQ((*strings)[1].text, u"USB");
  EXPECT_EQ((*strings)[2].id, 2319u);
}

TEST(PeImageStrings, RejectsBundlesThatEndEarlyOrOverrun) {
  Bytes bundle = StringBundle({{3, u"abc"}});
  std::string error;
  EXPECT_FALSE(
      ParseStringBundle(std::span<const uint8_t>(bundle).first(bundle.size() - 2), 1, 0x409, &error));
  EXPECT_NE(error.find("before its 16 strings"), std::string::npos) << error;
  Put16(bundle, 6, 0x7FFF);  // the fourth string claims far more than is there
  EXPECT_FALSE(ParseStringBundle(bundle, 1, 0x409, &error));
  EXPECT_NE(error.find("runs past the end"), std::string::npos) << error;
  EXPECT_FALSE(ParseStringBundle(bundle, 0, 0x409, &error));
  EXPECT_NE(error.find("no string identifiers"), std::string::npos) << error;
}

TEST(PeImageVersion, ReadsFixedInfoStringTablesAndTranslations) {
  std::optional<PeImage> image = ParseOk(FullImage().Build());
  ASSERT_TRUE(image);
  std::string error;
  std::optional<VersionInfo> version = image->Version(&error);
  ASSERT_TRUE(version) << error;

  ASSERT_TRUE(version->fixed);
  EXPECT_EQ(version->fixed->file_version_ms, 0x00020001u);
  EXPECT_EQ(version->fixed->file_version_ls, 0x00030004u);
  EXPECT_EQ(version->fixed->product_version_ms, 0x00050006u);
  EXPECT_EQ(version->fixed->product_version_ls, 0x00070008u);
  EXPECT_EQ(version->fixed->file_os, 0x00040004u);
  EXPECT_EQ(version->fixed->file_type, 3u);
  EXPECT_EQ(version->fixed->file_subtype, 7u);

  const std::map<std::string, std::map<std::string, std::string>> expected = {
      {"040904B0", {{"FileVersion", "1.2.3"}, {"LegalCopyright", "\xC2\xA9 Norvo"}, {"Comments", ""}}},
      {"041103A4", {{"FileDescription", "\xE3\x83\x97\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xBF"}}},
  };
  EXPECT_EQ(version->strings, expected);
  EXPECT_EQ(version->translations, (std::vector<Translation>{{0x409, 1200}, {0x411, 932}}));
}

Bytes SerializedSample() { return SampleVersion().Serialize(); }

std::string RejectionOf(const Bytes& bytes) {
  std::string error;
  EXPECT_FALSE(ParseVersionInfo(bytes, &error).has_value());
  return error;
}

TEST(PeImageVersion, RejectsWrongRootKey) {
  VersionNode root = SampleVersion();
  root.key = u"VS_VERSION_INFX";
  EXPECT_NE(RejectionOf(root.Serialize()).find("not VS_VERSION_INFO"), std::string::npos);
}

TEST(PeImageVersion, RejectsLengthsThatLeaveTheData) {
  Bytes bytes = SerializedSample();
  Put16(bytes, 0, static_cast<uint16_t>(bytes.size() + 4));
  EXPECT_NE(RejectionOf(bytes).find("bad length"), std::string::npos);

  Put16(bytes, 0, 3);  // shorter than its own header
  EXPECT_NE(RejectionOf(bytes).find("bad length"), std::string::npos);

  bytes = SerializedSample();
  // The StringFileInfo block claims more than its parent holds.
  const size_t block = 6 + 2 * 16 + 2 + 52;  // header, key, padding, fixed info
  Put16(bytes, block, static_cast<uint16_t>(bytes.size()));
  EXPECT_NE(RejectionOf(bytes).find("bad length"), std::string::npos);

  EXPECT_NE(RejectionOf(Bytes{0x20, 0}).find("truncated"), std::string::npos);
}

TEST(PeImageVersion, RejectsUnterminatedKey) {
  Bytes bytes(6, 0);
  for (char16_t unit : std::u16string_view(u"VS_VERSION_INFO")) Append16(bytes, unit);
  Put16(bytes, 0, static_cast<uint16_t>(bytes.size()));
  EXPECT_NE(RejectionOf(bytes).find("not terminated"), std::string::npos);
}

TEST(PeImageVersion, RejectsBadFixedInfo) {
  VersionNode root = SampleVersion();
  root.value = FixedInfo(0xFEEF04BC);
  EXPECT_NE(RejectionOf(root.Serialize()).find("signature"), std::string::npos);

  root = SampleVersion();
  root.value.resize(40);
  root.value_length = 40;
  EXPECT_NE(RejectionOf(root.Serialize()).find("not 52"), std::string::npos);
}

TEST(PeImageVersion, RootWithoutFixedInfoStillHasStrings) {
  VersionNode root = SampleVersion();
  root.value.clear();
  root.value_length = 0;
  std::string error;
  std::optional<VersionInfo> version = ParseVersionInfo(root.Serialize(), &error);
  ASSERT_TRUE(version) << error;
  EXPECT_FALSE(version->fixed);
  EXPECT_EQ(version->strings.at("040904B0").at("FileVersion"), "1.2.3");
}

// Corrupting bytes anywhere in the headers and tables must never make the reader
// read outside the buffer; every failure must say why.
TEST(PeImageRobustness, CorruptedImagesFailCleanly) {
  const Bytes original = FullImage().Build();
  std::mt19937 random(20240601);  // fixed seed: the same corruptions every run
  for (int round = 0; round < 4000; ++round) {
    Bytes bytes = original;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < changes; ++i) {
      // Half the changes land in the headers, half in the section's tables.
      const size_t at = (random() % 2 == 0) ? random() % ImageBuilder::kSectionOffset
                                            : ImageBuilder::kSectionOffset + random() % 0x200;
      bytes[at] = static_cast<uint8_t>(random());
    }
    std::string error;
    std::optional<PeImage> image = PeImage::Parse(bytes, &error);
    if (!image) {
      ASSERT_FALSE(error.empty()) << "round " << round;
      continue;
    }
    error.clear();
    if (!image->Imports(&error)) {
      ASSERT_FALSE(error.empty()) << "round " << round;
    }
    error.clear();
    if (!image->Version(&error)) {
      ASSERT_FALSE(error.empty()) << "round " << round;
    }
    error.clear();
    if (!image->Exported(&error)) {
      ASSERT_FALSE(error.empty()) << "round " << round;
    }
  }
}

TEST(Utf16ToUtf8, EncodesSurrogatePairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"A\u00E9\u20AC"), "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F5A8"), "\xF0\x9F\x96\xA8");
  const char16_t lone[] = {0xD83D, u'x', 0xDC00, 0};
  EXPECT_EQ(Utf16ToUtf8(lone), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nrv::pe
