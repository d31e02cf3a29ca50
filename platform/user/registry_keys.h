// Registry keys as a process holds them: an HKEY is a handle in its table, so
// that a key left open is reported when the process ends.
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

// A new HKEY for the key in the process's table.
HKEY openKeyHandle(Process& process, const RegistryKeyRef& key, const void* caller);

}  // namespace nrv
