// The printer-class devices Plug and Play made for a port: the child devices
// the driver reported under LPTENUM, attached or not, found by the PortName
// their device key holds.
#include "cleanup.h"

static VOID RemoveLptEnumDevice(HDEVINFO Devices, PSP_DEVINFO_DATA Device, BYTE OsKind) {
  // Windows 98 leaves the driver key behind when the device goes.
  if (OsKind == OS_KIND_WINDOWS_98) {
    Trace("       Win 98 Deleting of RegKey - DIREG_DRV\n");
    SetupDiDeleteDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DRV);
  }
  SetupDiRemoveDevice(Devices, Device);
}

BOOLEAN RemoveLptEnumDevices(LPCSTR PortName, BYTE OsKind) {
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  DWORD index;
  HKEY key;
  CHAR value[PRINTER_PORT_NAME_SIZE];
  DWORD size;

  devices = SetupDiGetClassDevsA(&GUID_DEVCLASS_PRINTER, NULL, NULL, 0);
  if (devices == INVALID_HANDLE_VALUE) {
    Trace("    Error 0x%x trying to open enumeration handle for Printer Class devices\n", GetLastError());
    return TRUE;
  }
  device.cbSize = sizeof(device);
  for (index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
    key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (key == INVALID_HANDLE_VALUE) {
      Trace("       Error 0x%x trying to open registry key\n", GetLastError());
      continue;
    }
    // One byte fewer than the buffer: the value always ends in a NUL.
    ZeroMemory(value, sizeof(value));
    size = sizeof(value) - 1;
    if (RegQueryValueExA(key, "PortName", NULL, NULL, (LPBYTE)value, &size) == ERROR_SUCCESS) {
      Trace("    Found Port '%s' in LPTENUM\n", value);
      if (lstrcmpiA(value, PortName) == 0) {
        Trace("    Removing Port '%s' in LPTENUM\n", value);
        RemoveLptEnumDevice(devices, &device, OsKind);
      }
    }
    RegCloseKey(key);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return TRUE;
}
