// A reader for the Windows images the cross build produces (PE32 and PE32+), so tests
// can check what a Windows loader would see: headers, imports, resources and the
// version resource, string tables and exports. Every read is bounds-checked; a malformed file yields an error
// message, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nrv::pe {

inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;

inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;
inline constexpr uint16_t kFile32BitMachine = 0x0100;
inline constexpr uint16_t kFileDll = 0x2000;

inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kSubsystemWindowsGui = 2;
inline constexpr uint16_t kSubsystemWindowsCui = 3;

inline constexpr size_t kDirectoryExport = 0;
inline constexpr size_t kDirectoryImport = 1;
inline constexpr size_t kDirectoryResource = 2;
inline constexpr size_t kDirectoryBaseReloc = 5;

inline constexpr uint32_t kSectionMemExecute = 0x20000000;

inline constexpr uint32_t kResourceTypeString = 6;
inline constexpr uint32_t kResourceTypeVersion = 16;

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

struct Section {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
};

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct ExportedFunction {
  std::string name;  // empty for a function exported by ordinal only
  uint32_t ordinal = 0;
  uint32_t rva = 0;
};

struct Exports {
  std::string module_name;
  std::vector<ExportedFunction> functions;
};

struct ImportedModule {
  std::string name;
  // Imported by name, or "#<ordinal>" when imported by ordinal.
  std::vector<std::string> functions;
};

// A resource type or name: a numeric ID, or a string (UTF-8 here).
struct ResourceId {
  bool is_name = false;
  uint32_t id = 0;
  std::string name;
};

struct ResourceEntry {
  ResourceId type;
  ResourceId name;
  uint32_t language = 0;
  uint32_t data_rva = 0;
  uint32_t size = 0;
  uint32_t code_page = 0;
};

// One string of an RT_STRING resource: the resource named n holds the strings
// 16 * (n - 1) to 16 * (n - 1) + 15, each a length and that many UTF-16 units.
struct StringResource {
  uint32_t id = 0;
  uint32_t language = 0;
  std::u16string text;
};

struct FixedFileInfo {
  uint32_t signature = 0;
  uint32_t struct_version = 0;
  uint32_t file_version_ms = 0;
  uint32_t file_version_ls = 0;
  uint32_t product_version_ms = 0;
  uint32_t product_version_ls = 0;
  uint32_t file_flags_mask = 0;
  uint32_t file_flags = 0;
  uint32_t file_os = 0;
  uint32_t file_type = 0;
  uint32_t file_subtype = 0;
  uint32_t file_date_ms = 0;
  uint32_t file_date_ls = 0;
};

struct Translation {
  uint16_t language = 0;
  uint16_t code_page = 0;
  bool operator==(const Translation&) const = default;
};

struct VersionInfo {
  std::optional<FixedFileInfo> fixed;
  // StringFileInfo: block key (such as "040904B0") -> value name -> value, all UTF-8.
  std::map<std::string, std::map<std::string, std::string>> strings;
  // VarFileInfo\Translation.
  std::vector<Translation> translations;
};

class PeImage {
 public:
  // On failure these return nothing and describe the fault in *error (if not null).
  static std::optional<PeImage> Parse(std::vector<uint8_t> bytes, std::string* error);
  static std::optional<PeImage> Load(const std::string& path, std::string* error);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  uint16_t machine() const { return machine_; }
  uint16_t file_characteristics() const { return file_characteristics_; }
  uint16_t optional_magic() const { return optional_magic_; }
  uint32_t entry_point() const { return entry_point_; }
  uint64_t image_base() const { return image_base_; }
  uint16_t subsystem() const { return subsystem_; }
  uint16_t major_subsystem_version() const { return major_subsystem_version_; }
  uint16_t minor_subsystem_version() const { return minor_subsystem_version_; }
  uint16_t dll_characteristics() const { return dll_characteristics_; }
  uint32_t stored_checksum() const { return stored_checksum_; }
  const std::vector<Section>& sections() const { return sections_; }

  // A directory the image does not have reads as zero.
  DataDirectory directory(size_t index) const;

  // The checksum the loader recomputes over the file (the stored field counts as zero).
  uint32_t ComputeChecksum() const;

  // The section whose mapped range holds rva, or null.
  const Section* SectionAt(uint32_t rva) const;

  // The file bytes from rva to the end of what its section maps from the file; empty
  // when rva maps to no file byte. (RVAs are 32-bit; a wider sum maps to nothing.)
  std::span<const uint8_t> MappedFrom(uint64_t rva) const;
  // Exactly [rva, rva + size), or empty when any of it is not in the file.
  std::span<const uint8_t> MappedRange(uint64_t rva, uint64_t size) const;

  std::optional<std::vector<ImportedModule>> Imports(std::string* error) const;
  // An image without an export directory exports nothing.
  std::optional<Exports> Exported(std::string* error) const;
  std::optional<std::vector<ResourceEntry>> Resources(std::string* error) const;
  // The first RT_VERSION resource, parsed.
  std::optional<VersionInfo> Version(std::string* error) const;
  // Every non-empty string of every RT_STRING resource, in resource order.
  std::optional<std::vector<StringResource>> Strings(std::string* error) const;

 private:
  std::optional<std::string> ReadCString(uint64_t rva, std::string* error) const;

  std::vector<uint8_t> bytes_;
  uint32_t pe_offset_ = 0;
  uint16_t machine_ = 0;
  uint16_t file_characteristics_ = 0;
  uint16_t optional_magic_ = 0;
  uint32_t entry_point_ = 0;
  uint64_t image_base_ = 0;
  uint32_t size_of_headers_ = 0;
  uint32_t stored_checksum_ = 0;
  uint16_t subsystem_ = 0;
  uint16_t major_subsystem_version_ = 0;
  uint16_t minor_subsystem_version_ = 0;
  uint16_t dll_characteristics_ = 0;
  std::vector<DataDirectory> directories_;
  std::vector<Section> sections_;
};

// Parses the data of one RT_STRING resource with the given name (its bundle number).
std::optional<std::vector<StringResource>> ParseStringBundle(std::span<const uint8_t> data, uint32_t bundle,
                                                             uint32_t language, std::string* error);

// Parses a VS_VERSIONINFO block (the data of an RT_VERSION resource), which must start
// on a 4-byte boundary as resource data does.
std::optional<VersionInfo> ParseVersionInfo(std::span<const uint8_t> data, std::string* error);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace nrv::pe
