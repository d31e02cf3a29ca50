// A resource section laid out as a PE image's: a tree of type, name and
// language directories (IDs ascending) whose leaves describe the data. String
// tables go in blocks of sixteen (block n holds identifiers 16(n-1) to
// 16n-1), each string a 16-bit length and its UTF-16 units; version resources
// as version_resource.h lays them out. Directory offsets count from the
// section's start; a data entry holds the address of its data, which is the
// section's own address (the relative virtual address the section has in an
// image, or 0 in a module's section read on its own) plus its offset.
#pragma once

#include <cstdint>
#include <vector>

#include "rc_parser.h"

namespace rc {

constexpr uint16_t kStringTableType = 6;  // RT_STRING

std::vector<uint8_t> buildResourceSection(const ResourceScript& script, uint32_t sectionAddress);

}  // namespace rc
