// Where the version routines find a file's version resource: in the resource
// section of the PE image the file's bytes hold, as Windows finds it. Every
// offset and address the file gives is checked before it is followed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "base/os_profile.h"

namespace nrv {

// NO_ERROR with the resource's VS_VERSIONINFO (its own length long), or the
// error the version routines report: ERROR_BAD_EXE_FORMAT for bytes that are
// no PE image, one cut short or one whose resource section is damaged;
// ERROR_RESOURCE_DATA_NOT_FOUND for an image without resources;
// ERROR_RESOURCE_TYPE_NOT_FOUND for one without a version resource;
// ERROR_RESOURCE_NAME_NOT_FOUND for version resources none of which is
// VS_VERSION_INFO; ERROR_INVALID_DATA for a version resource whose length is wrong.
// Of several languages, the loader's choice for the locale wins.
DWORD findVersionResource(const std::vector<uint8_t>& file, OsProfile profile, LANGID locale,
                          std::vector<uint8_t>* resource);

}  // namespace nrv
