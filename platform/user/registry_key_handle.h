// A registry key a program holds open: an HKEY is a handle of its process,
// closed with RegCloseKey, and one left open is reported when the process ends.
#pragma once

#include <windows.h>

#include "kernel/registry.h"
#include "user/process.h"

namespace nrv {

class RegistryKeyHandle : public HandleObject {
 public:
  RegistryKeyHandle(RegistryKeyRef key, REGSAM access) : key_(std::move(key)), access_(access) {}
  const char* kind() const override { return "a registry key"; }

  const RegistryKeyRef& key() const { return key_; }
  REGSAM access() const { return access_; }

 private:
  RegistryKeyRef key_;
  REGSAM access_;
};

}  // namespace nrv
