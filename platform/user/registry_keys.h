// Registry keys as a process holds them: HKEY handles in its handle table
// (so that a key left open is reported when the process ends) and the
// predefined roots, which need no opening and no closing.
#pragma once

#include <windows.h>

#include <string>

#include "kernel/registry.h"
#include "user/process.h"

namespace nrv {

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

}  // namespace nrv
