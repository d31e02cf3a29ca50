// Names code addresses for reports: "module!function+0x1c", read from the
// symbol tables of the loaded files, so hidden driver routines are named too.
#pragma once

#include <string>

namespace nrv {

std::string describeCodeAddress(const void* address);

}  // namespace nrv
