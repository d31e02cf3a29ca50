#include "user/module_resources.h"

#include <cstring>

#include "base/text.h"
#include "user/image_section.h"

namespace nrv {

namespace {

constexpr size_t kDirectorySize = 16;
constexpr size_t kEntrySize = 8;
constexpr size_t kDataEntrySize = 16;
constexpr uint32_t kSubdirectory = 0x80000000;
constexpr uint32_t kNamedEntry = 0x80000000;

// Reads the section's directories, checking every offset before it is followed.
class DirectoryReader {
 public:
  DirectoryReader(const std::vector<uint8_t>& bytes, uint32_t address) : bytes_(bytes), address_(address) {}

  bool fits(size_t offset, size_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }

  uint32_t read32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, &bytes_[offset], sizeof(value));
    return value;
  }

  // The (ID, target) pairs of the directory at offset; false for a damaged one.
  bool entries(size_t offset, bool subdirectories, std::vector<std::pair<uint16_t, uint32_t>>* found,
               std::string* failure) const {
    if (!fits(offset, kDirectorySize)) return fail(failure, "a directory lies outside the section");
    uint16_t named;
    uint16_t numbered;
    std::memcpy(&named, &bytes_[offset + 12], sizeof(named));
    std::memcpy(&numbered, &bytes_[offset + 14], sizeof(numbered));
    size_t count = size_t{named} + numbered;
    if (!fits(offset + kDirectorySize, count * kEntrySize))
      return fail(failure, "a directory's entries are cut short");
    for (size_t index = 0; index < count; index++) {
      size_t entry = offset + kDirectorySize + index * kEntrySize;
      uint32_t id = read32(entry);
      uint32_t target = read32(entry + 4);
      if ((id & kNamedEntry) != 0 || id > 0xFFFF)
        return fail(failure, "a resource has a name rather than a number");
      if (((target & kSubdirectory) != 0) != subdirectories)
        return fail(failure, "a directory entry points at the wrong level");
      found->emplace_back(static_cast<uint16_t>(id), target & ~kSubdirectory);
    }
    return true;
  }

  bool data(size_t entry, std::vector<uint8_t>* data, std::string* failure) const {
    if (!fits(entry, kDataEntrySize)) return fail(failure, "a data entry lies outside the section");
    uint32_t dataAddress = read32(entry);
    uint32_t size = read32(entry + 4);
    if (dataAddress < address_ || !fits(dataAddress - address_, size))
      return fail(failure, "a resource's data lies outside the section");
    size_t offset = dataAddress - address_;
    data->assign(bytes_.begin() + offset, bytes_.begin() + offset + size);
    return true;
  }

 private:
  static bool fail(std::string* failure, const char* what) {
    *failure = what;
    return false;
  }

  const std::vector<uint8_t>& bytes_;
  uint32_t address_;
};

}  // namespace

std::unique_ptr<ModuleResources> ModuleResources::parse(const std::vector<uint8_t>& section, uint32_t address,
                                                        std::string* failure) {
  auto resources = std::make_unique<ModuleResources>();
  DirectoryReader reader(section, address);
  std::vector<std::pair<uint16_t, uint32_t>> types;
  if (!reader.entries(0, true, &types, failure)) return nullptr;
  for (auto [type, typeDirectory] : types) {
    std::vector<std::pair<uint16_t, uint32_t>> names;
    if (!reader.entries(typeDirectory, true, &names, failure)) return nullptr;
    for (auto [name, nameDirectory] : names) {
      std::vector<std::pair<uint16_t, uint32_t>> languages;
      if (!reader.entries(nameDirectory, false, &languages, failure)) return nullptr;
      for (auto [language, dataEntry] : languages) {
        if (!reader.data(dataEntry, &resources->resources_[type][name][language], failure)) return nullptr;
      }
    }
  }
  return resources;
}

std::vector<LANGID> ModuleResources::languages(uint16_t type, uint16_t name) const {
  std::vector<LANGID> found;
  auto ofType = resources_.find(type);
  if (ofType == resources_.end()) return found;
  auto named = ofType->second.find(name);
  if (named == ofType->second.end()) return found;
  for (const auto& [language, data] : named->second) found.push_back(language);
  return found;
}

const std::vector<uint8_t>& ModuleResources::data(uint16_t type, uint16_t name, LANGID language) const {
  return resources_.at(type).at(name).at(language);
}

bool readModuleResources(const std::string& path, std::shared_ptr<const ModuleResources>* resources,
                         std::string* failure) {
  ImageSection section;
  std::string reason;
  if (!readImageSection(path, ".rsrc", &section, &reason)) {
    *failure = format("its image cannot be read: %s", reason.c_str());
    return false;
  }
  if (!section.found) {
    resources->reset();
    return true;
  }
  std::unique_ptr<ModuleResources> parsed = ModuleResources::parse(section.bytes, 0, &reason);
  if (parsed == nullptr) {
    *failure = format("its resource section is damaged: %s", reason.c_str());
    return false;
  }
  *resources = std::move(parsed);
  return true;
}

}  // namespace nrv
