// The installer removes the driver's printers that are attached now, so that
// they are found again, and named again, once the monitor is in place.
#include "nrvusbin.h"

static VOID RemoveAttachedDevice(HDEVINFO Devices, PSP_DEVINFO_DATA Device, BYTE OsKind) {
  HKEY deviceKey;
  CHAR portName[DEVICE_PORT_NAME_SIZE];
  CHAR lptEnumKey[SETUP_TEXT_SIZE];
  BOOL portFound;

  deviceKey = SetupDiOpenDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
  if (deviceKey == INVALID_HANDLE_VALUE) {
    return;
  }
  portFound = ReadDevicePortName(deviceKey, portName);
  if (portFound) {
    Trace("    Found USB Port '%s'\n", portName);
    RemoveLptEnumDevices(portName, OsKind);
  }
  if (OsKind == OS_KIND_WINDOWS_98) {
    SetupDiDeleteDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DRV);
  }
  SetupDiRemoveDevice(Devices, Device);
  if (portFound) {
    RemovePortOfDevice(portName, OsKind, IDS_PRINTER_PORTS_MRU_KEY);
    if (OsKind == OS_KIND_WINDOWS_98 &&
        LoadStringA(ModuleInstance, IDS_LPTENUM_KEY, lptEnumKey, SETUP_TEXT_SIZE) > 0) {
      RemoveLptEnumKeys(lptEnumKey, portName);
    }
  }
  RegCloseKey(deviceKey);
}

BOOLEAN RemoveDevices(BYTE OsKind) {
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  DWORD index;

  devices = OpenPrinterDevices(DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    Trace("    Error 0x%x trying to open enumeration handle for device\n", GetLastError());
  } else {
    RefreshSpoolerPorts();
    device.cbSize = sizeof(device);
    for (index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
      RemoveAttachedDevice(devices, &device, OsKind);
    }
    SetupDiDestroyDeviceInfoList(devices);
  }
  Trace(" Leaving RemoveDevices");
  return 1;
}
