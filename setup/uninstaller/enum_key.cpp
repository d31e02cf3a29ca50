// The Windows 98 enumeration tree keeps one key per USB vendor and product,
// with an instance key under it for every such printer. The product's key
// goes with its last instance.
#include "nrvusbun.h"

#define ENUM_PATH_SIZE (sizeof("Enum\\") - 1 + HARDWARE_ID_SIZE)

static BOOL HasSubkeys(HKEY Key) {
  DWORD subkeys = 0;

  return RegQueryInfoKeyA(Key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL) !=
             ERROR_SUCCESS ||
         subkeys != 0;
}

BOOLEAN RemoveEnumKey(HDEVINFO DeviceInfoSet, LPCSTR HardwareId) {
  CHAR path[ENUM_PATH_SIZE];
  HKEY key;
  BOOL keep;

  UNREFERENCED_PARAMETER(DeviceInfoSet);
  if (HardwareId == NULL) {
    return FALSE;
  }
  // A device whose ID could not be read names no key: "Enum\" alone is the whole tree.
  if (HardwareId[0] == '\0') {
    return TRUE;
  }
  lstrcpyA(path, "Enum\\");
  lstrcpynA(path + lstrlenA(path), HardwareId, HARDWARE_ID_SIZE);
  Trace("    Removing '%s' from registry\n", path);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return TRUE;
  }
  // A failed query keeps the key too: it may still hold instances.
  keep = HasSubkeys(key);
  RegCloseKey(key);
  if (!keep) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
  }
  return TRUE;
}
