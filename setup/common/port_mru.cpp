// The shell's list of recently used printer ports (Windows 98): every value
// whose data is the port goes. Deleting a value moves the next one to its
// index, so the index only advances past values that stay.
#include "cleanup.h"

// The buffers are refilled for every value: the call writes only what it found.
static VOID ResetEntry(LPSTR Name, LPDWORD NameLength, LPBYTE Data, LPDWORD DataLength, LPDWORD Type) {
  ZeroMemory(Name, MRU_ENTRY_SIZE);
  ZeroMemory(Data, MRU_ENTRY_SIZE + 1);
  *NameLength = MRU_ENTRY_SIZE;
  *DataLength = MRU_ENTRY_SIZE;
  *Type = REG_SZ;
}

BOOLEAN RemovePortFromMru(LPCSTR KeyPath, LPCSTR PortName) {
  HKEY key;
  DWORD index = 0;
  CHAR name[MRU_ENTRY_SIZE];
  BYTE data[MRU_ENTRY_SIZE + 1];  // one byte more than the call may fill: the data always ends
  DWORD nameLength;
  DWORD dataLength;
  DWORD type;

  if (RegOpenKeyExA(HKEY_USERS, KeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return TRUE;
  }
  ResetEntry(name, &nameLength, data, &dataLength, &type);
  while (RegEnumValueA(key, index, name, &nameLength, NULL, &type, data, &dataLength) == ERROR_SUCCESS) {
    // A value that will not go is stepped over, or the scan would meet it for ever.
    if (lstrcmpiA((LPCSTR)data, PortName) != 0) {
      index++;
    } else {
      Trace("    Removing Port '%s' in MRU\n", (LPCSTR)data);
      if (RegDeleteValueA(key, name) != ERROR_SUCCESS) {
        index++;
      }
    }
    ResetEntry(name, &nameLength, data, &dataLength, &type);
  }
  RegCloseKey(key);
  return TRUE;
}
