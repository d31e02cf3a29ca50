// A PE32 (i386) image that holds only a resource section: what the host build
// puts into the machine's files where Windows would find the deliverable's
// image, so that the machine reads its string tables and version resource
// from the file's bytes as Windows does. It has no code and is never run.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "rc_parser.h"

namespace rc {

enum class ImageKind { Driver, Dll, Exe };

std::optional<ImageKind> imageKindNamed(std::string_view name);

std::vector<uint8_t> buildHostImage(const ResourceScript& script, ImageKind kind);

}  // namespace rc
