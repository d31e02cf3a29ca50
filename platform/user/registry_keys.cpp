#include "user/registry_keys.h"

#include "base/text.h"

namespace nrv {

RegistryKeyHandle::RegistryKeyHandle(RegistryKeyRef key, const std::u16string& path)
    : key_(std::move(key)), kind_("a registry key, " + toUtf8(path)) {}

HKEY openKeyHandle(Process& process, const RegistryKeyRef& key, const void* caller) {
  std::u16string path = process.services().registry.keyPath(key);
  return static_cast<HKEY>(process.addHandle(std::make_unique<RegistryKeyHandle>(key, path), caller));
}

}  // namespace nrv
