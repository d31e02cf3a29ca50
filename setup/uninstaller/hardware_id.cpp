// The first hardware ID of a USB device, cut to the vendor and product
// ("USB\VID_vvvv&PID_pppp"): the name of the device's key in the Windows 98
// enumeration tree.
#include "nrvusbun.h"

BOOLEAN GetHardwareId(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPSTR HardwareId) {
  DWORD type;
  DWORD required = 0;
  LPSTR ids;

  if (DeviceInfoSet == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  HardwareId[0] = '\0';
  SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoData, SPDRP_HARDWAREID, &type, NULL, 0,
                                    &required);
  // One zero byte more than asked for: a property that lacks its own NUL still ends.
  ids = (LPSTR)LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, required + 1);
  if (ids != NULL) {
    if (SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoData, SPDRP_HARDWAREID, &type, (PBYTE)ids,
                                          required, &required)) {
      Trace("    Hardware ID = '%s'\n", ids);
      lstrcpynA(HardwareId, ids, HARDWARE_ID_SIZE);
    }
    LocalFree(ids);
  }
  Trace("    Hardware ID = '%s'\n", HardwareId);
  return TRUE;
}
