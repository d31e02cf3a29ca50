// GetPrinterDataFromPort: the spooler's bidirectional requests, passed to the
// driver as device control requests while a job holds the port's device.
#include "nrvusbmn.h"

// Control identifiers the monitor gives a meaning of its own.
#define CONTROL_SOFT_RESET 7
#define CONTROL_DEVICE_ID 17
#define CONTROL_ACKNOWLEDGE 1280

static BOOL ForwardControl(PortEntry *Entry, DWORD ControlId, LPSTR InBuffer, DWORD InSize, LPSTR OutBuffer,
                           DWORD OutSize, LPDWORD Returned) {
  switch (ControlId) {
    case CONTROL_SOFT_RESET:
      return DeviceIoControl(Entry->DeviceHandle, IOCTL_USBPRN_SOFT_RESET, NULL, 0, NULL, 0, Returned, NULL);
    case CONTROL_DEVICE_ID:
      return DeviceIoControl(Entry->DeviceHandle, IOCTL_USBPRN_GET_DEVICE_ID, InBuffer, InSize, OutBuffer,
                             OutSize, Returned, NULL);
    case CONTROL_ACKNOWLEDGE:
      return TRUE;
    default:
      return DeviceIoControl(Entry->DeviceHandle, ControlId, InBuffer, InSize, OutBuffer, OutSize, Returned,
                             NULL);
  }
}

// The value name is not used: the control identifier says it all.
BOOL WINAPI GetPrinterDataFromPort(HANDLE Port, DWORD ControlId, LPSTR ValueName, LPSTR InBuffer,
                                   DWORD InSize, LPSTR OutBuffer, DWORD OutSize, LPDWORD Returned) {
  PortEntry *entry = (PortEntry *)Port;
  BOOL result = FALSE;

  UNREFERENCED_PARAMETER(ValueName);
  EnterCriticalSection(&entry->PortLock);
  if (ControlId == 0 || !PortDeviceOpen(entry)) {
    SetLastError(ERROR_INVALID_PARAMETER);
  } else if (entry->Flags & PORT_FLAG_JOB_OPEN) {
    result = ForwardControl(entry, ControlId, InBuffer, InSize, OutBuffer, OutSize, Returned);
  }
  LeaveCriticalSection(&entry->PortLock);
  return result;
}
