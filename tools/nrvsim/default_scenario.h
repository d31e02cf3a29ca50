// The scenario nrvsim runs when given none: the package's whole life, from
// its installation through a printer's plug, print and unplug to its
// uninstallation, the restart and what is left.
#pragma once

#include <string>

#include "base/os_profile.h"

namespace nrvsim {

// printPath: the document to print; empty for the built-in test page.
std::string defaultScenario(const std::string& printPath, nrv::OsProfile profile);

}  // namespace nrvsim
