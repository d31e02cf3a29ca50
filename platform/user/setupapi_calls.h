// What every setupapi routine does with its caller's arguments and its
// result. Like the native library, every routine leaves its result in the
// last error, success included (NO_ERROR), and record sizes must be exactly
// the structure's own: anything else is ERROR_INVALID_USER_BUFFER.
#pragma once

#include <setupapi.h>
#include <windows.h>

#include <string>

#include "user/device_info_set.h"

namespace nrv::setupapi {

// Sets the last error; TRUE for NO_ERROR.
BOOL finish(const char* routine, DWORD error);
// Stops the machine on a use of setupapi this machine does not simulate.
[[noreturn]] void refuse(const char* routine, const std::string& what);
// The set behind a handle the program gives, or null for anything else.
DeviceInfoSet* setOf(Process& process, HDEVINFO handle);
// The device a program's record names, checked as the library checks it.
DWORD checkDeviceRecord(const DeviceInfoSet& set, PSP_DEVINFO_DATA data, const DeviceInfoEntry** device);
// The device a program's set handle and record name together: ERROR_INVALID_HANDLE
// for a handle that is no set, else as checkDeviceRecord.
DWORD deviceNamed(Process& process, HDEVINFO handle, PSP_DEVINFO_DATA data, const DeviceInfoEntry** device);

}  // namespace nrv::setupapi
