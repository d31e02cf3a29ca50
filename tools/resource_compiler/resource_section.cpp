#include "resource_section.h"

#include <array>
#include <cstring>
#include <map>

#include "version_resource.h"

namespace rc {

namespace {

constexpr size_t kDirectorySize = 16;  // IMAGE_RESOURCE_DIRECTORY
constexpr size_t kEntrySize = 8;       // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr size_t kDataEntrySize = 16;  // IMAGE_RESOURCE_DATA_ENTRY
constexpr uint32_t kSubdirectory = 0x80000000;

using Block = std::array<std::u16string, 16>;
// Type, then name, then language, in ascending order, as the directories list them.
using Tree = std::map<uint16_t, std::map<uint16_t, std::map<uint16_t, std::vector<uint8_t>>>>;

class Writer {
 public:
  void put16(size_t at, uint16_t value) { std::memcpy(&bytes[at], &value, sizeof(value)); }
  void put32(size_t at, uint32_t value) { std::memcpy(&bytes[at], &value, sizeof(value)); }

  // A directory with `count` ID entries; returns the offset of its first entry.
  size_t directory(size_t count) {
    size_t at = grow(kDirectorySize + count * kEntrySize);
    put16(at + 14, static_cast<uint16_t>(count));  // NumberOfIdEntries
    return at + kDirectorySize;
  }
  size_t grow(size_t size) {
    size_t at = bytes.size();
    bytes.resize(at + size, 0);
    return at;
  }

  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> blockData(const Block& block) {
  std::vector<uint8_t> data;
  for (const std::u16string& text : block) {
    uint16_t length = static_cast<uint16_t>(text.size());
    data.insert(data.end(), reinterpret_cast<const uint8_t*>(&length),
                reinterpret_cast<const uint8_t*>(&length) + sizeof(length));
    data.insert(data.end(), reinterpret_cast<const uint8_t*>(text.data()),
                reinterpret_cast<const uint8_t*>(text.data() + text.size()));
  }
  return data;
}

Tree resourceTree(const ResourceScript& script) {
  std::map<uint16_t, std::map<uint16_t, Block>> blocks;
  for (const StringResource& string : script.strings) {
    blocks[static_cast<uint16_t>(string.id / 16 + 1)][string.language][string.id % 16] = string.text;
  }
  Tree tree;
  for (const auto& [name, languages] : blocks) {
    for (const auto& [language, block] : languages) tree[kStringTableType][name][language] = blockData(block);
  }
  for (const VersionResource& version : script.versions) {
    tree[kVersionType][version.name][version.language] = versionResourceData(version);
  }
  return tree;
}

}  // namespace

std::vector<uint8_t> buildResourceSection(const ResourceScript& script, uint32_t sectionAddress) {
  Tree tree = resourceTree(script);
  Writer out;
  // Directories first, breadth first, as images lay them out; the data entries and data after them.
  size_t typeEntry = out.directory(tree.size());
  std::vector<std::pair<size_t, const std::map<uint16_t, std::map<uint16_t, std::vector<uint8_t>>>*>> types;
  for (const auto& [type, names] : tree) {
    out.put32(typeEntry, type);
    types.emplace_back(typeEntry + 4, &names);
    typeEntry += kEntrySize;
  }
  struct Leaf {
    size_t entry;
    const std::vector<uint8_t>* data;
  };
  std::vector<Leaf> leaves;
  for (auto [target, names] : types) {
    out.put32(target, static_cast<uint32_t>(out.bytes.size()) | kSubdirectory);
    size_t nameEntry = out.directory(names->size());
    for (const auto& [name, languages] : *names) {
      out.put32(nameEntry, name);
      out.put32(nameEntry + 4, static_cast<uint32_t>(out.bytes.size()) | kSubdirectory);
      nameEntry += kEntrySize;
      size_t languageEntry = out.directory(languages.size());
      for (const auto& [language, data] : languages) {
        out.put32(languageEntry, language);
        leaves.push_back(Leaf{languageEntry, &data});
        languageEntry += kEntrySize;
      }
    }
  }
  for (Leaf& leaf : leaves) {
    size_t dataEntry = out.grow(kDataEntrySize);
    out.put32(leaf.entry + 4, static_cast<uint32_t>(dataEntry));
    leaf.entry = dataEntry;
  }
  for (const Leaf& leaf : leaves) {
    size_t at = out.grow((leaf.data->size() + 3) & ~size_t{3});
    if (!leaf.data->empty()) std::memcpy(&out.bytes[at], leaf.data->data(), leaf.data->size());
    out.put32(leaf.entry, sectionAddress + static_cast<uint32_t>(at));
    out.put32(leaf.entry + 4, static_cast<uint32_t>(leaf.data->size()));
  }
  return out.bytes;
}

}  // namespace rc
