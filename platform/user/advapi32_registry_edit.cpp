// advapi32: what setup programs do to the registry besides reading and writing
// values: enumerating a key's subkeys and values, asking a key's counts, and
// deleting values and keys (Windows 98 deletes a key with all below it,
// Windows 2000 only a key without subkeys). Windows' error codes come back;
// the thread's last error is left alone.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "base/system_locale.h"
#include "user/call_checks.h"
#include "user/registry_keys.h"

namespace nrv {

namespace {

// The key of a handle for routines that read it: ERROR_SUCCESS, or why not.
LSTATUS readableKey(Process& process, HKEY hKey, const char* service, const void* caller,
                    RegistryKeyRef* key) {
  *key = keyOfHandle(process, hKey, service, caller);
  if (*key == nullptr) return ERROR_INVALID_HANDLE;
  return process.services().registry.isDeleted(*key) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// Copies a name with its NUL when the buffer of `size` characters holds it.
bool copyName(const std::string& name, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || size <= name.size()) return false;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return true;
}

}  // namespace

}  // namespace nrv

extern "C" {

LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegEnumKeyA");
  nrv::RegistryKeyRef key;
  if (LSTATUS status = nrv::readableKey(process, hKey, "RegEnumKeyA", caller, &key); status != ERROR_SUCCESS)
    return status;
  nrv::Registry& registry = process.services().registry;
  std::vector<std::u16string> names = registry.subkeys(registry.keyPath(key));
  if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
  std::string name = process.services().locale.toAnsi(names[dwIndex]);
  return nrv::copyName(name, lpName, cchName) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// The name's size is in characters: the buffer's on entry, the name's without
// its NUL on return. A data buffer too small gets the size needed and ERROR_MORE_DATA.
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegEnumValueA");
  if (lpcchValueName == nullptr || lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  nrv::RegistryKeyRef key;
  if (LSTATUS status = nrv::readableKey(process, hKey, "RegEnumValueA", caller, &key);
      status != ERROR_SUCCESS)
    return status;
  nrv::Registry& registry = process.services().registry;
  std::vector<nrv::NamedRegistryValue> values = registry.values(registry.keyPath(key));
  if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
  nrv::SystemLocale& locale = process.services().locale;
  std::string name = locale.toAnsi(values[dwIndex].name);
  if (!nrv::copyName(name, lpValueName, *lpcchValueName)) return ERROR_MORE_DATA;
  *lpcchValueName = static_cast<DWORD>(name.size());
  std::vector<uint8_t> data = nrv::ansiData(locale, values[dwIndex].value);
  if (lpType != nullptr) *lpType = values[dwIndex].value.type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  bool fits = lpData == nullptr || *lpcbData >= data.size();
  DWORD room = *lpcbData;
  *lpcbData = static_cast<DWORD>(data.size());
  if (!fits) return ERROR_MORE_DATA;
  if (lpData != nullptr && !data.empty()) {
    nrv::checkBufferFits(process, lpData, std::min<size_t>(room, data.size()), "RegEnumValueA", caller);
    std::memcpy(lpData, data.data(), data.size());
  }
  return ERROR_SUCCESS;
}

// Counts and longest names in characters without their NUL, longest data in bytes, as the program sees them.
LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegQueryInfoKeyA");
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  nrv::RegistryKeyRef key;
  if (LSTATUS status = nrv::readableKey(process, hKey, "RegQueryInfoKeyA", caller, &key);
      status != ERROR_SUCCESS)
    return status;
  nrv::Registry& registry = process.services().registry;
  nrv::SystemLocale& locale = process.services().locale;
  std::u16string path = registry.keyPath(key);
  std::vector<std::u16string> subkeys = registry.subkeys(path);
  std::vector<nrv::NamedRegistryValue> values = registry.values(path);
  DWORD longestSubkey = 0, longestName = 0, longestData = 0;
  for (const std::u16string& name : subkeys)
    longestSubkey = std::max(longestSubkey, static_cast<DWORD>(locale.toAnsi(name).size()));
  for (const nrv::NamedRegistryValue& value : values) {
    longestName = std::max(longestName, static_cast<DWORD>(locale.toAnsi(value.name).size()));
    longestData = std::max(longestData, static_cast<DWORD>(nrv::ansiData(locale, value.value).size()));
  }
  // Keys here have no class.
  if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
  if (lpcchClass != nullptr) *lpcchClass = 0;
  if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(subkeys.size());
  if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = longestSubkey;
  if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
  if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(values.size());
  if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = longestName;
  if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = longestData;
  if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegDeleteValueA");
  nrv::RegistryKeyRef key;
  if (LSTATUS status = nrv::readableKey(process, hKey, "RegDeleteValueA", caller, &key);
      status != ERROR_SUCCESS)
    return status;
  nrv::Registry& registry = process.services().registry;
  std::u16string name = lpValueName == nullptr ? u"" : process.services().locale.fromAnsi(lpValueName);
  if (registry.programDeletionDenied(registry.keyPath(key), false)) return ERROR_ACCESS_DENIED;
  return registry.deleteValue(registry.keyPath(key), name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("RegDeleteKeyA");
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  nrv::RegistryKeyRef base;
  if (LSTATUS status = nrv::readableKey(process, hKey, "RegDeleteKeyA", caller, &base);
      status != ERROR_SUCCESS)
    return status;
  nrv::Registry& registry = process.services().registry;
  std::optional<std::u16string> path =
      nrv::subkeyPath(registry, base, process.services().locale.fromAnsi(lpSubKey));
  if (!path) return ERROR_BAD_PATHNAME;
  if (!registry.keyExists(*path)) return ERROR_FILE_NOT_FOUND;
  bool tree = process.services().profile == nrv::OsProfile::Windows98;
  if (registry.programDeletionDenied(*path, tree)) return ERROR_ACCESS_DENIED;
  if (tree) {
    registry.deleteTree(*path);
    return ERROR_SUCCESS;
  }
  return registry.deleteKey(*path) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // extern "C"
