#include "user/setupapi_calls.h"

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"

namespace nrv::setupapi {

BOOL finish(const char* routine, DWORD error) {
  currentThread(routine).lastError = error;
  return error == NO_ERROR;
}

void refuse(const char* routine, const std::string& what) {
  bugCheck("NOT_IMPLEMENTED", format("%s: %s are not simulated by this machine", routine, what.c_str()));
}

DeviceInfoSet* setOf(Process& process, HDEVINFO handle) { return process.object<DeviceInfoSet>(handle); }

DWORD checkDeviceRecord(const DeviceInfoSet& set, PSP_DEVINFO_DATA data, const DeviceInfoEntry** device) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  *device = set.deviceOf(*data);
  return *device == nullptr ? ERROR_INVALID_PARAMETER : NO_ERROR;
}

DWORD deviceNamed(Process& process, HDEVINFO handle, PSP_DEVINFO_DATA data, const DeviceInfoEntry** device) {
  DeviceInfoSet* set = setOf(process, handle);
  return set == nullptr ? ERROR_INVALID_HANDLE : checkDeviceRecord(*set, data, device);
}

}  // namespace nrv::setupapi
