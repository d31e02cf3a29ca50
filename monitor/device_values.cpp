// What the monitor reads of the driver's devices: the values the driver keeps
// in their hardware keys.
#include "nrvusbmn.h"

BOOL ReadDeviceValue(HKEY Key, LPCSTR Name, LPSTR Buffer, DWORD Size) {
  ZeroMemory(Buffer, Size + 1);
  return RegQueryValueExA(Key, Name, NULL, NULL, (LPBYTE)Buffer, &Size) == ERROR_SUCCESS;
}
