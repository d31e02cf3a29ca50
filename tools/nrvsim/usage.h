// nrvsim --help: the options and the scenario language.
#pragma once

#include <string>

namespace nrvsim {

std::string usageText();

}  // namespace nrvsim
