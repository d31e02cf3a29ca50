#include "user/registry_keys.h"

#include <winreg.h>

#include <cstring>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/system_locale.h"
#include "base/text.h"

namespace nrv {

namespace {

// The predefined keys are 32-bit values, sign-extended in a 64-bit process:
// HKEY_CLASSES_ROOT (0x80000000) to HKEY_DYN_DATA (0x80000006).
constexpr intptr_t kFirstPredefined = static_cast<int32_t>(0x80000000);
constexpr intptr_t kLastPredefined = static_cast<int32_t>(0x80000006);

const char16_t* rootPathOf(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return u"\\Registry\\Machine";
  if (key == HKEY_USERS) return u"\\Registry\\User";
  if (key == HKEY_CLASSES_ROOT) return u"\\Registry\\Machine\\Software\\Classes";
  if (key == HKEY_CURRENT_USER) return u"\\Registry\\User\\.Default";
  return nullptr;
}

}  // namespace

RegistryKeyHandle::RegistryKeyHandle(RegistryKeyRef key, const std::u16string& path)
    : key_(std::move(key)), kind_("a registry key, " + toUtf8(path)) {}

HKEY openKeyHandle(Process& process, const RegistryKeyRef& key, const void* caller) {
  std::u16string path = process.services().registry.keyPath(key);
  return static_cast<HKEY>(process.addHandle(std::make_unique<RegistryKeyHandle>(key, path), caller));
}

bool isPredefinedKey(HKEY key) {
  auto value = reinterpret_cast<intptr_t>(key);
  return value >= kFirstPredefined && value <= kLastPredefined;
}

RegistryKeyRef keyOfHandle(Process& process, HKEY key, const char* service, const void* caller) {
  if (isPredefinedKey(key)) {
    const char16_t* root = rootPathOf(key);
    if (root == nullptr) {
      bugCheck("NOT_IMPLEMENTED",
               format("%s from %s: predefined key %p is not simulated by this machine", service,
                      describeCodeAddress(caller).c_str(), static_cast<void*>(key)));
    }
    return process.services().registry.openKey(root, true);
  }
  std::shared_ptr<RegistryKeyHandle> handle = process.reference<RegistryKeyHandle>(key);
  return handle == nullptr ? nullptr : handle->key();
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::optional<std::u16string> subkeyPath(Registry& registry, const RegistryKeyRef& base,
                                         const std::u16string& name) {
  std::u16string relative = name;
  if (!relative.empty() && relative.back() == u'\\') relative.pop_back();
  if (relative.empty() || relative.front() == u'\\' || relative.find(u"\\\\") != std::u16string::npos) {
    return std::nullopt;
  }
  std::u16string path = registry.keyPath(base);
  if (path.back() != u'\\') path += u'\\';
  return path + relative;
}

std::vector<uint8_t> ansiData(SystemLocale& locale, const RegistryValue& value) {
  if (!isStringType(value.type)) return value.bytes;
  std::u16string text(value.bytes.size() / sizeof(char16_t), u'\0');
  if (!text.empty()) std::memcpy(text.data(), value.bytes.data(), text.size() * sizeof(char16_t));
  std::string ansi = locale.toAnsi(text);
  return std::vector<uint8_t>(ansi.begin(), ansi.end());
}

}  // namespace nrv
