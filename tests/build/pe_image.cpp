#include "pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace nrv::pe {
namespace {

// Limits that no image we build comes near; they keep a hostile file from making a
// walk run for ever.
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxImportModules = 4096;
constexpr uint32_t kMaxImportsPerModule = 65536;
constexpr uint32_t kMaxExports = 65536;
constexpr size_t kMaxStringLength = 4096;
constexpr size_t kMaxResources = 65536;

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kExportDirectorySize = 40;
constexpr uint32_t kStringsPerBundle = 16;
constexpr size_t kResourceDirectorySize = 16;
constexpr size_t kResourceEntrySize = 8;
constexpr size_t kResourceDataEntrySize = 16;
constexpr size_t kFixedFileInfoSize = 52;
constexpr size_t kNodeHeaderSize = 6;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

// Records why a read failed; returns false so a check can end with `return Reject(...)`.
bool Reject(std::string* error, std::string message) {
  if (error != nullptr) {
    *error = std::move(message);
  }
  return false;
}

template <typename T>
std::optional<T> Fail(std::string* error, std::string message) {
  Reject(error, std::move(message));
  return std::nullopt;
}

std::string Hex(uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

// True when [offset, offset + size) lies inside a buffer of `total` bytes.
bool Fits(uint64_t offset, uint64_t size, uint64_t total) {
  return offset <= total && size <= total - offset;
}

size_t AlignUp4(size_t value) { return (value + 3) & ~static_cast<size_t>(3); }

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::optional<PeImage> PeImage::Load(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return Fail<PeImage>(error, "cannot open " + path);
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    return Fail<PeImage>(error, "cannot read " + path);
  }
  return Parse(std::move(bytes), error);
}

std::optional<PeImage> PeImage::Parse(std::vector<uint8_t> bytes, std::string* error) {
  PeImage image;
  image.bytes_ = std::move(bytes);
  const std::vector<uint8_t>& b = image.bytes_;
  const uint64_t total = b.size();

  if (total < kDosHeaderSize) {
    return Fail<PeImage>(error, "truncated DOS header: file has " + std::to_string(total) + " bytes");
  }
  if (b[0] != 'M' || b[1] != 'Z') {
    return Fail<PeImage>(error, "bad DOS magic (no MZ)");
  }
  const uint32_t pe = Le32(&b[0x3C]);
  if (!Fits(pe, 4 + kFileHeaderSize, total)) {
    return Fail<PeImage>(error, "PE header at " + Hex(pe) + " lies past the end of the file");
  }
  if (b[pe] != 'P' || b[pe + 1] != 'E' || b[pe + 2] != 0 || b[pe + 3] != 0) {
    return Fail<PeImage>(error, "bad PE signature at " + Hex(pe));
  }
  image.pe_offset_ = pe;

  const uint8_t* file_header = &b[pe + 4];
  image.machine_ = Le16(file_header);
  const uint16_t section_count = Le16(file_header + 2);
  const uint16_t optional_size = Le16(file_header + 16);
  image.file_characteristics_ = Le16(file_header + 18);

  const uint64_t optional_offset = pe + 4 + kFileHeaderSize;
  if (!Fits(optional_offset, optional_size, total)) {
    return Fail<PeImage>(error, "truncated optional header");
  }
  if (optional_size < 2) {
    return Fail<PeImage>(error, "optional header too small: " + std::to_string(optional_size) + " bytes");
  }
  const uint8_t* opt = &b[optional_offset];
  image.optional_magic_ = Le16(opt);
  size_t directories_offset;
  size_t count_offset;
  if (image.optional_magic_ == kMagicPe32) {
    directories_offset = 96;
    count_offset = 92;
  } else if (image.optional_magic_ == kMagicPe32Plus) {
    directories_offset = 112;
    count_offset = 108;
  } else {
    return Fail<PeImage>(error, "unknown optional header magic " + Hex(image.optional_magic_));
  }
  if (optional_size < directories_offset) {
    return Fail<PeImage>(error, "optional header too small: " + std::to_string(optional_size) + " bytes");
  }
  image.entry_point_ = Le32(opt + 16);
  image.image_base_ = image.optional_magic_ == kMagicPe32 ? Le32(opt + 28) : Le64(opt + 24);
  image.size_of_headers_ = Le32(opt + 60);
  image.stored_checksum_ = Le32(opt + 64);
  image.major_subsystem_version_ = Le16(opt + 48);
  image.minor_subsystem_version_ = Le16(opt + 50);
  image.subsystem_ = Le16(opt + 68);
  image.dll_characteristics_ = Le16(opt + 70);

  const uint32_t directory_count = Le32(opt + count_offset);
  if (directory_count > (optional_size - directories_offset) / 8) {
    return Fail<PeImage>(
        error, std::to_string(directory_count) + " data directories do not fit the optional header");
  }
  for (uint32_t i = 0; i < directory_count; ++i) {
    const uint8_t* entry = opt + directories_offset + 8 * i;
    image.directories_.push_back({Le32(entry), Le32(entry + 4)});
  }

  if (section_count > kMaxSections) {
    return Fail<PeImage>(error, std::to_string(section_count) + " sections is more than a loader accepts");
  }
  const uint64_t sections_offset = optional_offset + optional_size;
  if (!Fits(sections_offset, uint64_t{section_count} * kSectionHeaderSize, total)) {
    return Fail<PeImage>(error, "truncated section table");
  }
  for (uint16_t i = 0; i < section_count; ++i) {
    const uint8_t* header = &b[sections_offset + kSectionHeaderSize * i];
    Section section;
    section.name.assign(reinterpret_cast<const char*>(header), std::find(header, header + 8, 0) - header);
    section.virtual_size = Le32(header + 8);
    section.virtual_address = Le32(header + 12);
    section.raw_size = Le32(header + 16);
    section.raw_offset = Le32(header + 20);
    section.characteristics = Le32(header + 36);
    if (section.raw_size != 0 && !Fits(section.raw_offset, section.raw_size, total)) {
      return Fail<PeImage>(error, "section " + section.name + " data lies past the end of the file");
    }
    image.sections_.push_back(std::move(section));
  }
  return image;
}

DataDirectory PeImage::directory(size_t index) const {
  return index < directories_.size() ? directories_[index] : DataDirectory{};
}

uint32_t PeImage::ComputeChecksum() const {
  const size_t field = pe_offset_ + 4 + kFileHeaderSize + 64;
  uint64_t sum = 0;
  for (size_t i = 0; i < bytes_.size(); i += 2) {
    if (i == field || i == field + 2) {
      continue;
    }
    uint32_t word = bytes_[i];
    if (i + 1 < bytes_.size()) {
      word |= static_cast<uint32_t>(bytes_[i + 1]) << 8;
    }
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + bytes_.size());
}

const Section* PeImage::SectionAt(uint32_t rva) const {
  for (const Section& section : sections_) {
    const uint32_t mapped = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
    if (rva >= section.virtual_address && rva - section.virtual_address < mapped) {
      return &section;
    }
  }
  return nullptr;
}

std::span<const uint8_t> PeImage::MappedFrom(uint64_t wide_rva) const {
  if (wide_rva > UINT32_MAX) {
    return {};
  }
  const uint32_t rva = static_cast<uint32_t>(wide_rva);
  const Section* section = SectionAt(rva);
  if (section == nullptr) {
    // The headers are mapped at the start of the image, as they are in the file.
    const uint64_t headers = std::min<uint64_t>(size_of_headers_, bytes_.size());
    if (rva < headers) {
      return std::span<const uint8_t>(bytes_).subspan(rva, headers - rva);
    }
    return {};
  }
  const uint32_t offset = rva - section->virtual_address;
  const uint32_t mapped =
      section->virtual_size != 0 ? std::min(section->virtual_size, section->raw_size) : section->raw_size;
  if (offset >= mapped) {
    return {};  // zero-filled in memory, absent from the file
  }
  return std::span<const uint8_t>(bytes_).subspan(section->raw_offset + offset, mapped - offset);
}

std::span<const uint8_t> PeImage::MappedRange(uint64_t rva, uint64_t size) const {
  std::span<const uint8_t> data = MappedFrom(rva);
  if (size == 0 || data.size() < size) {
    return {};
  }
  return data.first(size);
}

std::optional<std::string> PeImage::ReadCString(uint64_t rva, std::string* error) const {
  std::span<const uint8_t> data = MappedFrom(rva);
  const size_t limit = std::min(data.size(), kMaxStringLength);
  const auto end = std::find(data.begin(), data.begin() + limit, 0);
  if (end == data.begin() + limit) {
    return Fail<std::string>(error, "string at " + Hex(rva) + " is not terminated inside the image");
  }
  return std::string(data.begin(), end);
}

std::optional<std::vector<ImportedModule>> PeImage::Imports(std::string* error) const {
  using Result = std::vector<ImportedModule>;
  const DataDirectory dir = directory(kDirectoryImport);
  Result modules;
  if (dir.rva == 0) {
    return modules;
  }
  const bool pe32 = optional_magic_ == kMagicPe32;
  const uint32_t thunk_size = pe32 ? 4 : 8;
  for (uint32_t i = 0;; ++i) {
    if (i == kMaxImportModules) {
      return Fail<Result>(error, "import directory has no terminating entry");
    }
    const uint64_t at = uint64_t{dir.rva} + uint64_t{i} * kImportDescriptorSize;
    std::span<const uint8_t> desc = MappedRange(at, kImportDescriptorSize);
    if (desc.empty()) {
      return Fail<Result>(error, "import descriptor at " + Hex(at) + " lies outside the file");
    }
    const uint32_t lookup_table = Le32(&desc[0]);
    const uint32_t name_rva = Le32(&desc[12]);
    const uint32_t address_table = Le32(&desc[16]);
    if (name_rva == 0 && address_table == 0) {
      return modules;
    }
    ImportedModule module;
    std::optional<std::string> name = ReadCString(name_rva, error);
    if (!name) {
      return std::nullopt;
    }
    module.name = *name;
    const uint32_t thunks = lookup_table != 0 ? lookup_table : address_table;
    for (uint32_t j = 0;; ++j) {
      if (j == kMaxImportsPerModule) {
        return Fail<Result>(error, "import table of " + module.name + " has no terminating entry");
      }
      const uint64_t thunk_at = uint64_t{thunks} + uint64_t{j} * thunk_size;
      std::span<const uint8_t> thunk = MappedRange(thunk_at, thunk_size);
      if (thunk.empty()) {
        return Fail<Result>(error, "import table of " + module.name + " runs outside the file");
      }
      const uint64_t value = pe32 ? Le32(thunk.data()) : Le64(thunk.data());
      if (value == 0) {
        break;
      }
      const uint64_t ordinal_flag = pe32 ? 0x80000000ULL : 0x8000000000000000ULL;
      if (value & ordinal_flag) {
        module.functions.push_back("#" + std::to_string(value & 0xFFFF));
        continue;
      }
      // Hint, then the name.
      std::optional<std::string> function = ReadCString((value & 0x7FFFFFFF) + 2, error);
      if (!function) {
        return std::nullopt;
      }
      module.functions.push_back(*function);
    }
    modules.push_back(std::move(module));
  }
}

std::optional<Exports> PeImage::Exported(std::string* error) const {
  const DataDirectory dir = directory(kDirectoryExport);
  Exports exports;
  if (dir.rva == 0) {
    return exports;
  }
  std::span<const uint8_t> header = MappedRange(dir.rva, kExportDirectorySize);
  if (header.empty()) {
    return Fail<Exports>(error, "export directory lies outside the file");
  }
  std::optional<std::string> module_name = ReadCString(Le32(&header[12]), error);
  if (!module_name) {
    return std::nullopt;
  }
  exports.module_name = *module_name;
  const uint32_t base = Le32(&header[16]);
  const uint32_t function_count = Le32(&header[20]);
  const uint32_t name_count = Le32(&header[24]);
  if (function_count > kMaxExports || name_count > kMaxExports) {
    return Fail<Exports>(error, "export directory lists more functions than a loader accepts");
  }
  std::span<const uint8_t> addresses = MappedRange(Le32(&header[28]), uint64_t{function_count} * 4);
  std::span<const uint8_t> names = MappedRange(Le32(&header[32]), uint64_t{name_count} * 4);
  std::span<const uint8_t> ordinals = MappedRange(Le32(&header[36]), uint64_t{name_count} * 2);
  if ((function_count != 0 && addresses.empty()) ||
      (name_count != 0 && (names.empty() || ordinals.empty()))) {
    return Fail<Exports>(error, "export tables lie outside the file");
  }
  std::vector<std::string> function_names(function_count);
  for (uint32_t i = 0; i < name_count; ++i) {
    const uint16_t index = Le16(&ordinals[2 * i]);
    if (index >= function_count) {
      return Fail<Exports>(error, "export name " + std::to_string(i) + " names no function");
    }
    std::optional<std::string> name = ReadCString(Le32(&names[4 * i]), error);
    if (!name) {
      return std::nullopt;
    }
    function_names[index] = *name;
  }
  for (uint32_t i = 0; i < function_count; ++i) {
    const uint32_t rva = Le32(&addresses[4 * i]);
    if (rva != 0) {  // an unused slot of the ordinal range
      exports.functions.push_back({function_names[i], base + i, rva});
    }
  }
  return exports;
}

std::optional<std::vector<ResourceEntry>> PeImage::Resources(std::string* error) const {
  using Result = std::vector<ResourceEntry>;
  const DataDirectory dir = directory(kDirectoryResource);
  Result entries;
  if (dir.rva == 0) {
    return entries;
  }
  std::span<const uint8_t> tree = MappedRange(dir.rva, dir.size);
  if (tree.empty()) {
    return Fail<Result>(error, "resource directory lies outside the file");
  }

  struct Entry {
    ResourceId id;
    bool is_directory;
    uint32_t offset;
  };
  // Offsets inside the tree are relative to its start.
  auto read_directory = [&](uint32_t offset, std::vector<Entry>* out) -> bool {
    if (!Fits(offset, kResourceDirectorySize, tree.size())) {
      return Reject(error, "resource directory at " + Hex(offset) + " lies outside the tree");
    }
    const uint32_t count = uint32_t{Le16(&tree[offset + 12])} + Le16(&tree[offset + 14]);
    if (!Fits(uint64_t{offset} + kResourceDirectorySize, uint64_t{count} * kResourceEntrySize, tree.size())) {
      return Reject(error, "resource directory at " + Hex(offset) + " has more entries than fit");
    }
    out->clear();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* raw = &tree[offset + kResourceDirectorySize + kResourceEntrySize * i];
      const uint32_t name = Le32(raw);
      const uint32_t target = Le32(raw + 4);
      Entry entry;
      if (name & 0x80000000u) {
        const uint32_t at = name & 0x7FFFFFFFu;
        if (!Fits(at, 2, tree.size()) ||
            !Fits(uint64_t{at} + 2, uint64_t{Le16(&tree[at])} * 2, tree.size())) {
          return Reject(error, "resource name at " + Hex(at) + " lies outside the tree");
        }
        std::u16string text;
        for (uint32_t k = 0; k < Le16(&tree[at]); ++k) {
          text.push_back(static_cast<char16_t>(Le16(&tree[at + 2 + 2 * k])));
        }
        entry.id.is_name = true;
        entry.id.name = Utf16ToUtf8(text);
      } else {
        entry.id.id = name;
      }
      entry.is_directory = (target & 0x80000000u) != 0;
      entry.offset = target & 0x7FFFFFFFu;
      out->push_back(std::move(entry));
    }
    return true;
  };

  // Three levels: type, name, language, then the data entry.
  std::vector<Entry> types, names, languages;
  if (!read_directory(0, &types)) {
    return std::nullopt;
  }
  for (const Entry& type : types) {
    if (!type.is_directory) {
      return Fail<Result>(error, "resource type entry points at data, not a directory");
    }
    if (!read_directory(type.offset, &names)) {
      return std::nullopt;
    }
    for (const Entry& name : names) {
      if (!name.is_directory) {
        return Fail<Result>(error, "resource name entry points at data, not a directory");
      }
      if (!read_directory(name.offset, &languages)) {
        return std::nullopt;
      }
      for (const Entry& language : languages) {
        if (language.is_directory) {
          return Fail<Result>(error, "resource tree is deeper than type, name and language");
        }
        if (!Fits(language.offset, kResourceDataEntrySize, tree.size())) {
          return Fail<Result>(error,
                              "resource data entry at " + Hex(language.offset) + " lies outside the tree");
        }
        if (entries.size() == kMaxResources) {
          return Fail<Result>(error, "resource tree has too many entries");
        }
        const uint8_t* data = &tree[language.offset];
        entries.push_back({type.id, name.id, language.id.id, Le32(data), Le32(data + 4), Le32(data + 8)});
      }
    }
  }
  return entries;
}

std::optional<VersionInfo> PeImage::Version(std::string* error) const {
  std::optional<std::vector<ResourceEntry>> resources = Resources(error);
  if (!resources) {
    return std::nullopt;
  }
  for (const ResourceEntry& entry : *resources) {
    if (entry.type.is_name || entry.type.id != kResourceTypeVersion) {
      continue;
    }
    std::span<const uint8_t> data = MappedRange(entry.data_rva, entry.size);
    if (data.empty()) {
      return Fail<VersionInfo>(error, "version resource data lies outside the file");
    }
    return ParseVersionInfo(data, error);
  }
  return Fail<VersionInfo>(error, "image has no version resource");
}

std::optional<std::vector<StringResource>> PeImage::Strings(std::string* error) const {
  using Result = std::vector<StringResource>;
  std::optional<std::vector<ResourceEntry>> resources = Resources(error);
  if (!resources) {
    return std::nullopt;
  }
  Result strings;
  for (const ResourceEntry& entry : *resources) {
    if (entry.type.is_name || entry.type.id != kResourceTypeString) {
      continue;
    }
    if (entry.name.is_name) {
      return Fail<Result>(error, "string resource \"" + entry.name.name + "\" has a name, not a number");
    }
    std::span<const uint8_t> data = MappedRange(entry.data_rva, entry.size);
    if (data.empty()) {
      return Fail<Result>(error,
                          "string resource " + std::to_string(entry.name.id) + " lies outside the file");
    }
    std::optional<Result> bundle = ParseStringBundle(data, entry.name.id, entry.language, error);
    if (!bundle) {
      return std::nullopt;
    }
    strings.insert(strings.end(), bundle->begin(), bundle->end());
  }
  return strings;
}

std::optional<std::vector<StringResource>> ParseStringBundle(std::span<const uint8_t> data, uint32_t bundle,
                                                             uint32_t language, std::string* error) {
  using Result = std::vector<StringResource>;
  if (bundle == 0 || bundle > 0x1000) {
    return Fail<Result>(error, "string resource " + std::to_string(bundle) + " holds no string identifiers");
  }
  Result strings;
  size_t at = 0;
  for (uint32_t i = 0; i < kStringsPerBundle; ++i) {
    if (!Fits(at, 2, data.size())) {
      return Fail<Result>(error, "string resource " + std::to_string(bundle) + " ends before its 16 strings");
    }
    const uint16_t length = Le16(&data[at]);
    at += 2;
    if (!Fits(at, size_t{length} * 2, data.size())) {
      return Fail<Result>(error, "string " + std::to_string((bundle - 1) * kStringsPerBundle + i) +
                                     " runs past the end of its resource");
    }
    if (length != 0) {
      StringResource string{(bundle - 1) * kStringsPerBundle + i, language, {}};
      for (uint16_t k = 0; k < length; ++k) {
        string.text.push_back(static_cast<char16_t>(Le16(&data[at + 2 * k])));
      }
      strings.push_back(std::move(string));
    }
    at += size_t{length} * 2;
  }
  return strings;
}

namespace {

// One node of a version resource: a length, a value length, a type (1 = text),
// a UTF-16 key, then (4-byte aligned) the value and (4-byte aligned) the children.
struct VersionNode {
  std::u16string key;
  uint16_t type = 0;
  std::span<const uint8_t> value;
  size_t children_begin = 0;
  size_t end = 0;
};

// Alignment is counted from the start of `data`, which is 4-byte aligned in the image.
std::optional<VersionNode> ReadNode(std::span<const uint8_t> data, size_t begin, size_t limit,
                                    std::string* error) {
  if (!Fits(begin, kNodeHeaderSize, limit)) {
    return Fail<VersionNode>(error, "version node at " + Hex(begin) + " is truncated");
  }
  const uint16_t length = Le16(&data[begin]);
  const uint16_t value_length = Le16(&data[begin + 2]);
  VersionNode node;
  node.type = Le16(&data[begin + 4]);
  if (length < kNodeHeaderSize || !Fits(begin, length, limit)) {
    return Fail<VersionNode>(error,
                             "version node at " + Hex(begin) + " has a bad length " + std::to_string(length));
  }
  node.end = begin + length;
  size_t at = begin + kNodeHeaderSize;
  for (;;) {
    if (at + 2 > node.end) {
      return Fail<VersionNode>(error, "version node key at " + Hex(begin) + " is not terminated");
    }
    const char16_t unit = static_cast<char16_t>(Le16(&data[at]));
    at += 2;
    if (unit == 0) {
      break;
    }
    node.key.push_back(unit);
  }
  at = std::min(AlignUp4(at), node.end);
  // A text value's length counts UTF-16 units, a binary value's counts bytes.
  const size_t value_bytes =
      std::min<size_t>(node.type == 1 ? size_t{value_length} * 2 : value_length, node.end - at);
  node.value = data.subspan(at, value_bytes);
  node.children_begin = std::min(AlignUp4(at + value_bytes), node.end);
  return node;
}

// Calls visit(child) for each child of parent; stops at the first failure.
template <typename Visit>
bool ForEachChild(std::span<const uint8_t> data, const VersionNode& parent, std::string* error, Visit visit) {
  for (size_t at = parent.children_begin; at < parent.end;) {
    std::optional<VersionNode> child = ReadNode(data, at, parent.end, error);
    if (!child || !visit(*child)) {
      return false;
    }
    at = AlignUp4(child->end);
  }
  return true;
}

std::string TextValue(std::span<const uint8_t> value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(Le16(&value[i]));
    if (unit == 0) {
      break;
    }
    text.push_back(unit);
  }
  return Utf16ToUtf8(text);
}

}  // namespace

std::optional<VersionInfo> ParseVersionInfo(std::span<const uint8_t> data, std::string* error) {
  std::optional<VersionNode> root = ReadNode(data, 0, data.size(), error);
  if (!root) {
    return std::nullopt;
  }
  if (root->key != u"VS_VERSION_INFO") {
    return Fail<VersionInfo>(
        error, "version resource root is \"" + Utf16ToUtf8(root->key) + "\", not VS_VERSION_INFO");
  }
  VersionInfo info;
  if (!root->value.empty()) {
    if (root->value.size() < kFixedFileInfoSize) {
      return Fail<VersionInfo>(error,
                               "fixed file info is " + std::to_string(root->value.size()) + " bytes, not 52");
    }
    uint32_t fields[kFixedFileInfoSize / 4];
    for (size_t i = 0; i < std::size(fields); ++i) {
      fields[i] = Le32(&root->value[4 * i]);
    }
    if (fields[0] != kFixedFileInfoSignature) {
      return Fail<VersionInfo>(error, "fixed file info has signature " + Hex(fields[0]));
    }
    info.fixed = FixedFileInfo{fields[0], fields[1], fields[2], fields[3],  fields[4],  fields[5], fields[6],
                               fields[7], fields[8], fields[9], fields[10], fields[11], fields[12]};
  }

  const bool ok = ForEachChild(data, *root, error, [&](const VersionNode& block) {
    if (block.key == u"StringFileInfo") {
      return ForEachChild(data, block, error, [&](const VersionNode& table) {
        std::map<std::string, std::string>& values = info.strings[Utf16ToUtf8(table.key)];
        return ForEachChild(data, table, error, [&](const VersionNode& entry) {
          values[Utf16ToUtf8(entry.key)] = TextValue(entry.value);
          return true;
        });
      });
    }
    if (block.key == u"VarFileInfo") {
      return ForEachChild(data, block, error, [&](const VersionNode& var) {
        if (var.key == u"Translation") {
          for (size_t i = 0; i + 4 <= var.value.size(); i += 4) {
            info.translations.push_back({Le16(&var.value[i]), Le16(&var.value[i + 2])});
          }
        }
        return true;
      });
    }
    return true;  // blocks nobody reads are allowed
  });
  if (!ok) {
    return std::nullopt;
  }
  return info;
}

}  // namespace nrv::pe
