// What the monitor reads of the driver's devices: the interface class they
// register and the values the driver keeps in their hardware keys.
#include "nrvusbmn.h"

const GUID PrinterInterfaceClass = {
    0x762BB1B6, 0x5164, 0x11D1, {0xB0, 0x0B, 0x00, 0xC0, 0xD1, 0x57, 0x0F, 0x9E}};

BOOL ReadDeviceValue(HKEY Key, LPCSTR Name, LPSTR Buffer, DWORD Size) {
  ZeroMemory(Buffer, Size + 1);
  return RegQueryValueExA(Key, Name, NULL, NULL, (LPBYTE)Buffer, &Size) == ERROR_SUCCESS;
}
