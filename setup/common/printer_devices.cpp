// What both RemoveDevices variants do alike: find the driver's printers, read
// the port a printer's device key names, and remove what was built on that port.
#include "cleanup.h"

HDEVINFO OpenPrinterDevices(DWORD PresentFlag) {
  return SetupDiGetClassDevsA(&PrinterInterfaceClass, NULL, NULL, PresentFlag | DIGCF_DEVICEINTERFACE);
}

BOOL ReadDevicePortName(HKEY DeviceKey, LPSTR PortName) {
  DWORD size = DEVICE_PORT_NAME_SIZE - 1;

  // One byte fewer than the buffer: the name always ends in a NUL.
  ZeroMemory(PortName, DEVICE_PORT_NAME_SIZE);
  return RegQueryValueExA(DeviceKey, "PortName", NULL, NULL, (LPBYTE)PortName, &size) == ERROR_SUCCESS;
}

// What the spooler lists is not needed: asking makes it ask the monitors
// afresh, so that it knows the ports they report before one is deleted.
VOID RefreshSpoolerPorts(VOID) {
  DWORD needed;
  DWORD returned;

  EnumPortsA(NULL, 2, NULL, 0, &needed, &returned);
}

VOID RemovePortOfDevice(LPCSTR PortName, BYTE OsKind, UINT MruKeyStringId) {
  CHAR mruKey[SETUP_TEXT_SIZE];

  RemovePrintersOnPort(PortName);
  RefreshSpoolerPorts();
  if (!DeletePortA(NULL, NULL, (LPSTR)PortName)) {
    Trace("    Error while trying to remove port, status =  0x%x\n", GetLastError());
  }
  if (OsKind == OS_KIND_WINDOWS_98 &&
      LoadStringA(ModuleInstance, MruKeyStringId, mruKey, SETUP_TEXT_SIZE) > 0) {
    RemovePortFromMru(mruKey, PortName);
  }
}
