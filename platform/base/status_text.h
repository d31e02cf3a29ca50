// Names of status values, for transcripts and reports.
#pragma once

#include <wdm.h>

#include <string>

namespace nrv {

// "0xC0000010 (STATUS_INVALID_DEVICE_REQUEST)", or just the number when unnamed.
std::string statusText(NTSTATUS status);

}  // namespace nrv
