// What `files` and `registry` tell of the machine: its files under a folder,
// and a registry key with everything below it, texts in UTF-8.
#pragma once

#include <string>

#include "events.h"
#include "machine/machine.h"

namespace nrvsim {

FilesListed describeFiles(nrv::Machine& machine, const std::string& folder);
// HKLM\..., HKEY_LOCAL_MACHINE\..., HKU\... or HKEY_USERS\...; none when the root is none of them.
std::optional<RegistryListed> describeRegistry(nrv::Machine& machine, const std::string& key);

}  // namespace nrvsim
