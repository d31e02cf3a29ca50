// A section of a module's image file, read as the loader reads an image: the
// host's modules are ELF files, and a section is found by name in the section
// header table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nrv {

struct ImageSection {
  bool found = false;
  std::vector<uint8_t> bytes;
};

// False, with the reason, for a file that cannot be read as an image.
bool readImageSection(const std::string& path, std::string_view name, ImageSection* section,
                      std::string* failure);

}  // namespace nrv
