// Text nrvsim writes to a terminal that came from a scenario or a device: its
// control bytes are shown as \xHH, so none of them reaches the terminal raw.
#pragma once

#include <string>
#include <string_view>

namespace nrvsim {

std::string withoutControlBytes(std::string_view text);

}  // namespace nrvsim
