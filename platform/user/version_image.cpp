#include "user/version_image.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "user/module_resources.h"
#include "user/resource_language.h"

namespace nrv {

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t kNewHeaderField = 0x3C;       // e_lfanew
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32 = 0x010B;
constexpr uint16_t kPe32Plus = 0x020B;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint16_t kVersionType = 16;  // RT_VERSION
constexpr uint16_t kVersionName = 1;   // VS_VERSION_INFO
constexpr size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType

class FileReader {
 public:
  explicit FileReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  bool fits(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  uint16_t read16(size_t offset) const {
    uint16_t value;
    std::memcpy(&value, &bytes_[offset], sizeof(value));
    return value;
  }
  uint32_t read32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, &bytes_[offset], sizeof(value));
    return value;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

struct ResourceLocation {
  uint32_t address = 0;  // relative virtual address of the resource directory; 0 for none
  uint64_t fileOffset = 0;
  uint64_t fileSize = 0;  // what its section holds of the file from there on
};

// The resource directory's place in the file; false for bytes that are no PE image or are cut short.
bool locateResources(const std::vector<uint8_t>& file, ResourceLocation* location) {
  FileReader reader(file);
  if (!reader.fits(0, kNewHeaderField + 4) || reader.read16(0) != kDosSignature) return false;
  uint64_t pe = reader.read32(kNewHeaderField);
  if (!reader.fits(pe, 4 + kFileHeaderSize) || reader.read32(pe) != kPeSignature) return false;
  uint16_t sections = reader.read16(pe + 4 + 2);
  uint16_t optionalSize = reader.read16(pe + 4 + 16);
  uint64_t optional = pe + 4 + kFileHeaderSize;
  if (!reader.fits(optional, optionalSize) || optionalSize < 2) return false;
  uint16_t magic = reader.read16(optional);
  uint64_t countField = magic == kPe32 ? 92 : magic == kPe32Plus ? 108 : 0;
  if (countField == 0 || optionalSize < countField + 4) return false;
  uint32_t directories = reader.read32(optional + countField);
  uint64_t directory = countField + 4 + 8 * uint64_t{kResourceDirectory};
  if (directories <= kResourceDirectory || optionalSize < directory + 8) {
    location->address = 0;
    return true;
  }
  location->address = reader.read32(optional + directory);
  if (location->address == 0) return true;
  uint64_t table = optional + optionalSize;
  if (!reader.fits(table, uint64_t{sections} * kSectionHeaderSize)) return false;
  for (uint16_t index = 0; index < sections; index++) {
    uint64_t header = table + uint64_t{index} * kSectionHeaderSize;
    uint32_t virtualSize = reader.read32(header + 8);
    uint32_t virtualAddress = reader.read32(header + 12);
    uint32_t rawSize = reader.read32(header + 16);
    uint32_t rawOffset = reader.read32(header + 20);
    uint64_t mapped = virtualSize == 0 ? rawSize : virtualSize;
    if (location->address < virtualAddress || location->address - virtualAddress >= mapped) continue;
    uint64_t into = location->address - virtualAddress;
    if (into >= rawSize || !reader.fits(rawOffset, rawSize)) return false;
    location->fileOffset = rawOffset + into;
    location->fileSize = std::min<uint64_t>(rawSize, mapped) - into;
    return true;
  }
  return false;
}

}  // namespace

DWORD findVersionResource(const std::vector<uint8_t>& file, OsProfile profile, LANGID locale,
                          std::vector<uint8_t>* resource) {
  ResourceLocation location;
  if (!locateResources(file, &location)) return ERROR_BAD_EXE_FORMAT;
  if (location.address == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
  auto from = file.begin() + static_cast<ptrdiff_t>(location.fileOffset);
  std::vector<uint8_t> section(from, from + static_cast<ptrdiff_t>(location.fileSize));
  std::string reason;
  std::unique_ptr<ModuleResources> resources = ModuleResources::parse(section, location.address, &reason);
  if (resources == nullptr) return ERROR_BAD_EXE_FORMAT;
  if (!resources->hasType(kVersionType)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  std::vector<LANGID> languages = resources->languages(kVersionType, kVersionName);
  if (languages.empty()) return ERROR_RESOURCE_NAME_NOT_FOUND;
  const std::vector<uint8_t>& data =
      resources->data(kVersionType, kVersionName, chooseStringLanguage(languages, profile, locale));
  if (data.size() < kNodeHeaderSize) return ERROR_INVALID_DATA;
  uint16_t length = FileReader(data).read16(0);
  if (length < kNodeHeaderSize || length > data.size()) return ERROR_INVALID_DATA;
  resource->assign(data.begin(), data.begin() + length);
  return NO_ERROR;
}

}  // namespace nrv
