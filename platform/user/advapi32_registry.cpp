// advapi32: the registry for programs, on the tree the kernel uses. Names and
// string data are ANSI here and UTF-16 in the tree, converted with the system
// code page both ways. The routines return Windows' error codes and leave the
// thread's last error alone, as the registry routines do.
#include <windows.h>

#include <cstring>
#include <optional>

#include "base/fault_injector.h"
#include "base/system_locale.h"
#include "user/call_checks.h"
#include "user/registry_keys.h"
#include "user/user_services.h"

namespace nrv {

namespace {

struct Opened {
  Opened(long error, RegistryKeyRef opened) : status(static_cast<LSTATUS>(error)), key(std::move(opened)) {}
  LSTATUS status;
  RegistryKeyRef key;
};

Opened openSubkey(Process& process, HKEY hKey, LPCSTR lpSubKey, bool create, const char* service,
                  const void* caller) {
  Registry& registry = process.services().registry;
  RegistryKeyRef base = keyOfHandle(process, hKey, service, caller);
  if (base == nullptr) return {ERROR_INVALID_HANDLE, nullptr};
  if (registry.isDeleted(base)) return {ERROR_KEY_DELETED, nullptr};
  std::optional<std::u16string> path =
      subkeyPath(registry, base, process.services().locale.fromAnsi(lpSubKey));
  if (!path) return {ERROR_BAD_PATHNAME, nullptr};
  RegistryKeyRef key = registry.openKey(*path, false);
  if (key == nullptr && create) {
    // Programs cannot add keys right under HKEY_LOCAL_MACHINE or HKEY_USERS.
    bool belowRoot = (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS) &&
                     path->find(u'\\', registry.keyPath(base).size() + 1) == std::u16string::npos;
    if (belowRoot) return {ERROR_ACCESS_DENIED, nullptr};
    key = registry.openKey(*path, true);
  }
  return {key == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS, key};
}

LSTATUS openKey(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, bool create, bool sameHandleForNoName,
                const char* service, const void* caller) {
  Process& process = currentProcess(service);
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  if (process.services().faults.shouldFail(FaultKind::RegistryOpen)) return ERROR_NO_SYSTEM_RESOURCES;
  if (lpSubKey == nullptr || *lpSubKey == '\0') {
    RegistryKeyRef base = keyOfHandle(process, hKey, service, caller);
    if (base == nullptr) return ERROR_INVALID_HANDLE;
    *phkResult = sameHandleForNoName ? hKey : openKeyHandle(process, base, caller);
    return ERROR_SUCCESS;
  }
  Opened opened = openSubkey(process, hKey, lpSubKey, create, service, caller);
  if (opened.status == ERROR_SUCCESS) *phkResult = openKeyHandle(process, opened.key, caller);
  return opened.status;
}

std::vector<uint8_t> storedData(SystemLocale& locale, DWORD type, const BYTE* data, DWORD size) {
  if (size == 0) return {};
  if (!isStringType(type)) return std::vector<uint8_t>(data, data + size);
  std::u16string text = locale.fromAnsi(std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
  if (!bytes.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

std::u16string valueName(SystemLocale& locale, LPCSTR name) {
  return name == nullptr ? std::u16string() : locale.fromAnsi(name);
}

}  // namespace

}  // namespace nrv

extern "C" {

// A NULL or empty subkey gives back the handle passed in.
LSTATUS WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return nrv::openKey(hKey, lpSubKey, phkResult, false, true, "RegOpenKeyA", __builtin_return_address(0));
}

// A NULL or empty subkey opens a new handle to the key itself. Access rights
// are not checked: every program here may do everything.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  UNREFERENCED_PARAMETER(samDesired);
  if (ulOptions != 0) return ERROR_INVALID_PARAMETER;
  return nrv::openKey(hKey, lpSubKey, phkResult, false, false, "RegOpenKeyExA", __builtin_return_address(0));
}

// Creates every missing key on the path; a NULL or empty subkey gives back the handle passed in.
LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  return nrv::openKey(hKey, lpSubKey, phkResult, true, true, "RegCreateKeyA", __builtin_return_address(0));
}

// The predefined keys need no closing; closing one does nothing.
LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  nrv::Process& process = nrv::currentProcess("RegCloseKey");
  if (nrv::isPredefinedKey(hKey)) return ERROR_SUCCESS;
  if (process.reference<nrv::RegistryKeyHandle>(hKey) == nullptr) return ERROR_INVALID_HANDLE;
  process.removeHandle(hKey);
  return ERROR_SUCCESS;
}

// With no data buffer, tells the type and size. A buffer too small gets
// nothing and ERROR_MORE_DATA with the size needed.
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegQueryValueExA");
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  nrv::RegistryKeyRef key = nrv::keyOfHandle(process, hKey, "RegQueryValueExA", caller);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  nrv::Registry& registry = process.services().registry;
  if (registry.isDeleted(key)) return ERROR_KEY_DELETED;
  nrv::SystemLocale& locale = process.services().locale;
  std::optional<nrv::NamedRegistryValue> value = registry.value(key, nrv::valueName(locale, lpValueName));
  if (!value) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> data = nrv::ansiData(locale, value->value);
  if (lpType != nullptr) *lpType = value->value.type;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(data.size());
    return ERROR_SUCCESS;
  }
  bool fits = *lpcbData >= data.size();
  *lpcbData = static_cast<DWORD>(data.size());
  if (!fits) return ERROR_MORE_DATA;
  nrv::checkBufferFits(process, lpData, data.size(), "RegQueryValueExA", caller);
  if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
  return ERROR_SUCCESS;
}

// String data is stored as given (with its NUL only if cbData counts it), in UTF-16.
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  UNREFERENCED_PARAMETER(Reserved);
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegSetValueExA");
  nrv::RegistryKeyRef key = nrv::keyOfHandle(process, hKey, "RegSetValueExA", caller);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  nrv::SystemLocale& locale = process.services().locale;
  bool stored = process.services().registry.setValue(key, nrv::valueName(locale, lpValueName), dwType,
                                                     nrv::storedData(locale, dwType, lpData, cbData));
  return stored ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

}  // extern "C"
