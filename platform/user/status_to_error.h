// The Win32 error a kernel status becomes in user mode, as the system's
// RtlNtStatusToDosError gives it for the statuses this machine's drivers and
// kernel return.
#pragma once

#include <windows.h>

namespace nrv {

// ERROR_MR_MID_NOT_FOUND for a status without a Win32 counterpart (a driver's own codes).
DWORD win32ErrorOf(NTSTATUS status);

}  // namespace nrv
