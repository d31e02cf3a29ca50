// A machine kept in a host folder between runs:
//
//   DIR/machine.txt    what no plain file holds: the profile, the locale, the
//                      function driver's service and the INF it was installed
//                      with, whether the spooler ran, and which files host
//                      modules play
//   DIR/registry.txt   the registry, as registry_text.h writes it
//   DIR/C/...          drive C:, each machine file a host file with its bytes
//
// Loading checks everything before the machine sees any of it, so a damaged
// folder is an error naming the file (and line), never a stopped machine.
#pragma once

#include <string>

#include "machine/machine_state.h"

namespace nrv {

// Whether the folder holds a saved machine (its machine.txt exists).
bool holdsMachine(const std::string& folder);
// Replaces what the folder held; false with the reason when it cannot be written.
bool saveMachine(const MachineState& state, const std::string& folder, std::string* error);
// False with "FILE:LINE: what is wrong" (or "FILE: ...") when the folder is damaged.
bool loadMachine(const std::string& folder, MachineState* state, std::string* error);

}  // namespace nrv
