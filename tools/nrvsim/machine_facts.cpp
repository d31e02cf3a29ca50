#include "machine_facts.h"

#include <cstring>

#include "base/text.h"
#include "kernel/registry.h"

namespace nrvsim {

namespace {

// The kernel path of a key written with a root's name; none for another root.
std::optional<std::u16string> kernelPath(const std::string& key) {
  static const std::pair<const char*, const char16_t*> roots[] = {
      {"HKLM", u"\\Registry\\Machine"},
      {"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
      {"HKU", u"\\Registry\\User"},
      {"HKEY_USERS", u"\\Registry\\User"}};
  std::string root = key.substr(0, key.find('\\'));
  for (const auto& [name, path] : roots) {
    if (strcasecmp(root.c_str(), name) != 0) continue;
    std::string rest = root.size() < key.size() ? key.substr(root.size()) : "";
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    return path + nrv::toUtf16(rest);
  }
  return std::nullopt;
}

std::string typeName(ULONG type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_BINARY:
      return "REG_BINARY";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    default:
      return nrv::format("type %lu", static_cast<unsigned long>(type));
  }
}

std::string valueText(const nrv::RegistryValue& value) {
  if (value.type == REG_DWORD && value.bytes.size() == 4) {
    uint32_t number = 0;
    std::memcpy(&number, value.bytes.data(), 4);
    return nrv::format("0x%08X", number);
  }
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) {
    std::u16string text(value.bytes.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), value.bytes.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    std::string shown;
    for (size_t start = 0; start <= text.size();) {
      size_t end = std::min(text.find(u'\0', start), text.size());
      shown += (shown.empty() ? "" : " ") + ("\"" + nrv::toUtf8(text.substr(start, end - start)) + "\"");
      start = end + 1;
    }
    return shown;
  }
  std::string hex;
  for (uint8_t byte : value.bytes) hex += nrv::format(hex.empty() ? "%02x" : " %02x", byte);
  return hex;
}

void describeKey(nrv::Registry& registry, const std::u16string& path, const std::string& shown,
                 RegistryListed* listed) {
  RegistryKeyFacts key;
  key.path = shown;
  for (const nrv::NamedRegistryValue& value : registry.values(path))
    key.values.push_back(
        RegistryValueFacts{nrv::toUtf8(value.name), typeName(value.value.type), valueText(value.value)});
  listed->keys.push_back(std::move(key));
  for (const std::u16string& subkey : registry.subkeys(path))
    describeKey(registry, path + u"\\" + subkey, shown + "\\" + nrv::toUtf8(subkey), listed);
}

}  // namespace

FilesListed describeFiles(nrv::Machine& machine, const std::string& folder) {
  FilesListed listed;
  listed.folder = folder;
  listed.found = machine.files().isFolder(folder);
  for (const nrv::FileSystem::Entry& entry : machine.files().list(folder))
    listed.entries.push_back(FileFacts{entry.path, entry.folder, entry.size});
  return listed;
}

std::optional<RegistryListed> describeRegistry(nrv::Machine& machine, const std::string& key) {
  std::optional<std::u16string> path = kernelPath(key);
  if (!path) return std::nullopt;
  RegistryListed listed;
  listed.key = key;
  listed.found = machine.registry().keyExists(*path);
  if (listed.found) describeKey(machine.registry(), *path, key, &listed);
  return listed;
}

}  // namespace nrvsim
