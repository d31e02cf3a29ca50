// The uninstaller removes every printer the driver ever served, attached or
// not, and schedules the INF file each was installed from for removal.
#include "nrvusbun.h"

// The INF file named by the device's driver key goes at the next start. TRUE when the key named one.
static BOOL ScheduleInfFile(HDEVINFO Devices, PSP_DEVINFO_DATA Device, BYTE OsKind) {
  HKEY driverKey;
  CHAR infPath[INF_PATH_SIZE];
  CHAR path[SETUP_PATH_SIZE];
  DWORD size = INF_PATH_SIZE - 1;
  BOOL found;

  driverKey = SetupDiOpenDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
  if (driverKey == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  ZeroMemory(infPath, sizeof(infPath));
  found = RegQueryValueExA(driverKey, "InfPath", NULL, NULL, (LPBYTE)infPath, &size) == ERROR_SUCCESS;
  if (found &&
      LoadStringA(ModuleInstance, OsKind == OS_KIND_WINDOWS_2000 ? IDS_INF_FOLDER : IDS_INF_OTHER_FOLDER,
                  path, SETUP_PATH_SIZE) > 0 &&
      lstrlenA(path) + lstrlenA(infPath) < SETUP_PATH_SIZE) {
    lstrcpyA(path + lstrlenA(path), infPath);
    ScheduleDeleteInWindowsDir(path);
  }
  RegCloseKey(driverKey);
  return found;
}

// The port the device's key names, with its child devices gone; FALSE when there is none.
static BOOL RemoveChildrenOfPort(HDEVINFO Devices, PSP_DEVINFO_DATA Device, BYTE OsKind, LPSTR PortName) {
  HKEY deviceKey;
  BOOL portFound;

  deviceKey = SetupDiOpenDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
  if (deviceKey == INVALID_HANDLE_VALUE) {
    Trace("       Error 0x%x trying to open registry key\n", GetLastError());
    return FALSE;
  }
  portFound = ReadDevicePortName(deviceKey, PortName);
  if (portFound) {
    Trace("    Found USB Port '%s'\n", PortName);
    RemoveLptEnumDevices(PortName, OsKind);
  }
  RegCloseKey(deviceKey);
  return portFound;
}

// TRUE when the device had an INF file.
static BOOL RemoveDevice(HDEVINFO Devices, PSP_DEVINFO_DATA Device, BYTE OsKind) {
  CHAR portName[DEVICE_PORT_NAME_SIZE];
  CHAR hardwareId[HARDWARE_ID_SIZE];
  BOOL infFound;
  BOOL portFound;

  infFound = ScheduleInfFile(Devices, Device, OsKind);
  portFound = RemoveChildrenOfPort(Devices, Device, OsKind, portName);
  if (OsKind == OS_KIND_WINDOWS_98) {
    GetHardwareId(Devices, Device, hardwareId);
  }
  SetupDiRemoveDevice(Devices, Device);
  if (OsKind == OS_KIND_WINDOWS_98) {
    RemoveEnumKey(Devices, hardwareId);
  }
  if (portFound) {
    RemovePortOfDevice(portName, OsKind, IDS_PRINTER_PORTS_MRU_KEY);
  }
  return infFound;
}

BOOLEAN RemoveDevices(BYTE OsKind) {
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  DWORD index;
  BOOLEAN infFound = FALSE;

  devices = OpenPrinterDevices(0);
  if (devices == INVALID_HANDLE_VALUE) {
    Trace("    Error 0x%x trying to open enumeration handle for GUID\n", GetLastError());
    return FALSE;
  }
  RefreshSpoolerPorts();
  device.cbSize = sizeof(device);
  for (index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
    if (RemoveDevice(devices, &device, OsKind)) {
      infFound = TRUE;
    }
  }
  if (!infFound) {
    Trace("    Error, What is the last error =  0x%x\n", GetLastError());
  }
  SetupDiDestroyDeviceInfoList(devices);
  return infFound;
}
