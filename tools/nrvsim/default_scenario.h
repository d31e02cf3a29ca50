// The scenario nrvsim runs when given none: a printer's whole life, from plug to unplug.
#pragma once

#include <string>

namespace nrvsim {

// printPath: the document to print; empty for the built-in test page.
std::string defaultScenario(const std::string& printPath);

}  // namespace nrvsim
