// Deletion of a key under HKEY_LOCAL_MACHINE with what lies below it. Windows
// 98 deletes a key with its whole tree; Windows 2000 deletes only keys without
// subkeys, so there the key and those of its subkeys that have none go.
#include "nrvusbun.h"

#define SUBKEY_NAME_SIZE 256

static VOID DeleteSubkeys(HKEY Key) {
  CHAR name[SUBKEY_NAME_SIZE];
  DWORD index = 0;

  // Each deleted subkey makes room for the next at the same index; one that
  // cannot be deleted is stepped over, so the loop always ends.
  while (RegEnumKeyA(Key, index, name, SUBKEY_NAME_SIZE) == ERROR_SUCCESS) {
    if (RegDeleteKeyA(Key, name) != ERROR_SUCCESS) {
      index++;
    }
  }
}

BOOLEAN DeleteRegistryKeyTree(LPCSTR KeyPath) {
  HKEY key;

  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    DeleteSubkeys(key);
    RegCloseKey(key);
  }
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, KeyPath);
  return TRUE;
}
