// Names of the Windows error codes the spooler and the port monitor leave as
// their last error, for the transcript and the --json document.
#pragma once

#include <cstdint>
#include <string>

namespace nrvsim {

// "ERROR_OUT_OF_PAPER" for 28; empty for a code without a name here.
std::string win32ErrorName(uint32_t error);
// "28 (ERROR_OUT_OF_PAPER)", or the number alone.
std::string win32ErrorText(uint32_t error);

}  // namespace nrvsim
