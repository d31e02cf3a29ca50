// Registry keys as a process holds them: HKEY handles in its handle table
// (so that a key left open is reported when the process ends) and the
// predefined roots, which need no opening and no closing.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "kernel/registry.h"
#include "user/process.h"

namespace nrv {

class SystemLocale;

class RegistryKeyHandle : public HandleObject {
 public:
  RegistryKeyHandle(RegistryKeyRef key, const std::u16string& path);
  const char* kind() const override { return kind_.c_str(); }
  const RegistryKeyRef& key() const { return key_; }

 private:
  RegistryKeyRef key_;
  std::string kind_;
};

// A new HKEY for the key in the process's table; setupapi hands out the same.
HKEY openKeyHandle(Process& process, const RegistryKeyRef& key, const void* caller);
bool isPredefinedKey(HKEY key);
// The key an HKEY stands for: a predefined root or a key handle of the
// process; null for anything else. HKEY_CURRENT_USER is the default user's
// key, since nobody logs on to this machine.
RegistryKeyRef keyOfHandle(Process& process, HKEY key, const char* service, const void* caller);

bool isStringType(DWORD type);
// The tree path of a subkey given relative to a key: a leading backslash or
// an empty name in between is a bad path (Windows 2000 says so; this machine
// holds Windows 98 to the same); one trailing backslash is allowed.
std::optional<std::u16string> subkeyPath(Registry& registry, const RegistryKeyRef& base,
                                         const std::u16string& name);
// The data as the program sees it: string types in the ANSI code page, all
// stored units converted, a terminating NUL only where one was stored.
std::vector<uint8_t> ansiData(SystemLocale& locale, const RegistryValue& value);

}  // namespace nrv
