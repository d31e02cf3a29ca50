// A VERSIONINFO resource as the binary VS_VERSIONINFO tree Windows reads: each
// node a length, a value length (UTF-16 units for text, bytes otherwise), a
// type (1 text, 0 binary), a NUL-terminated UTF-16 key, then its value and its
// children, each starting on a 32-bit boundary. A node's length ends with its
// last byte of value or child, without the padding that may follow it.
#pragma once

#include <cstdint>
#include <vector>

#include "rc_parser.h"

namespace rc {

constexpr uint16_t kVersionType = 16;  // RT_VERSION

std::vector<uint8_t> versionResourceData(const VersionResource& resource);

}  // namespace rc
