// A module's resources, as the loader finds them in its image: the ".rsrc"
// section the host resource compiler wrote, a resource directory laid out as
// in a PE image (type, name and language directories, IDs only). Directory
// offsets count from the section's start; data entries hold addresses, which
// in a PE image are relative virtual addresses and in a host module's section
// count from its start.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nrv {

class ModuleResources {
 public:
  // The directory of a section's bytes, the section standing at `address`
  // (its relative virtual address in a PE image, 0 in a host module); null,
  // with the reason, when they are none.
  static std::unique_ptr<ModuleResources> parse(const std::vector<uint8_t>& section, uint32_t address,
                                                std::string* failure);

  bool hasType(uint16_t type) const { return resources_.count(type) != 0; }
  // The languages the resource exists in, ascending; none when it does not exist.
  std::vector<LANGID> languages(uint16_t type, uint16_t name) const;
  // The resource's data in that language; it must exist.
  const std::vector<uint8_t>& data(uint16_t type, uint16_t name, LANGID language) const;

 private:
  std::map<uint16_t, std::map<uint16_t, std::map<LANGID, std::vector<uint8_t>>>> resources_;
};

// Reads the resources of the image at path: true with null when it has none,
// false with the reason when its resource section cannot be read.
bool readModuleResources(const std::string& path, std::shared_ptr<const ModuleResources>* resources,
                         std::string* failure);

}  // namespace nrv
