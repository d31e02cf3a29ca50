// InstallPortMonitor: the system check, the serial-number setting and the
// registration of the port monitor, in this order. The person may stop at the
// system check; after that the monitor is always registered.
#include "nrvusbin.h"

DWORD WINAPI InstallPortMonitor(VOID) {
  BYTE osKind;
  DWORD result;

  result = CheckOperatingSystem(&osKind);
  if (result != ERROR_SUCCESS) {
    return result;
  }
  result = SwitchOffSerialNumbers(osKind);
  return RegisterPortMonitor(osKind, result);
}
