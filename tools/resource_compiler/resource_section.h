// A module's resource section, laid out as a PE image's resource directory:
// a tree of type, name and language directories (IDs ascending) whose leaves
// describe the data. String tables go in blocks of sixteen (block n holds
// identifiers 16(n-1) to 16n-1), each string a 16-bit length and its UTF-16
// units. Offsets count from the section's start, as the section is read on its
// own rather than mapped at an address of the image.
#pragma once

#include <cstdint>
#include <vector>

#include "rc_parser.h"

namespace rc {

constexpr uint16_t kStringTableType = 6;  // RT_STRING

std::vector<uint8_t> buildResourceSection(const std::vector<StringResource>& strings);

}  // namespace rc
