#include "machine/machine_state.h"

#include "user/file_system.h"

namespace nrv {

namespace {

void captureKey(const Registry& registry, const std::u16string& path, std::vector<RegistryKeyState>* keys) {
  keys->push_back(RegistryKeyState{path, registry.values(path)});
  for (const std::u16string& name : registry.subkeys(path)) captureKey(registry, path + u"\\" + name, keys);
}

}  // namespace

std::vector<RegistryKeyState> captureRegistry(const Registry& registry) {
  std::vector<RegistryKeyState> keys;
  for (const std::u16string& name : registry.subkeys(u"\\")) captureKey(registry, u"\\" + name, &keys);
  return keys;
}

void restoreRegistry(Registry& registry, const std::vector<RegistryKeyState>& keys) {
  for (const std::u16string& name : registry.subkeys(u"\\")) registry.deleteTree(u"\\" + name);
  for (const RegistryKeyState& key : keys) {
    registry.createKey(key.path);
    for (const NamedRegistryValue& value : key.values)
      registry.setValue(key.path, value.name, value.value.type, value.value.bytes);
  }
}

std::vector<FileState> captureFiles(const FileSystem& files) {
  std::vector<FileState> state;
  for (const FileSystem::Entry& entry : files.list("C:\\")) {
    FileState file{entry.path, entry.folder, {}, entry.hostModule};
    if (!entry.folder) file.bytes = files.fileBytes(entry.path).value_or(std::vector<uint8_t>{});
    state.push_back(std::move(file));
  }
  return state;
}

void restoreFiles(FileSystem& files, const std::vector<FileState>& state) {
  for (const FileState& file : state) {
    if (file.folder) {
      files.createFolder(file.path);
      continue;
    }
    files.putFile(file.path, file.bytes);
    if (!file.hostModule.empty()) files.setHostModule(file.path, file.hostModule);
  }
}

}  // namespace nrv
