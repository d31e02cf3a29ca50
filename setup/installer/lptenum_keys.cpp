// The Windows 98 enumeration tree keeps an instance key under Enum\LPTENUM for
// every child device a port ever had, named after the port. The names are
// compared as prefixes: the driver's port names end in ':', so only names
// made by hand can take another port's keys with them.
#include "nrvusbin.h"

// The trace lines of this routine keep the uninstaller's prefix.
#define LPTENUM_TRACE_PREFIX "UnInstaller:"

// Deleting an instance key moves the next one to its index, so the index
// only advances past keys that stay.
static VOID RemovePortInstances(HKEY DeviceKey, LPCSTR PortName) {
  CHAR instanceName[LPTENUM_INSTANCE_NAME_SIZE];
  DWORD index = 0;

  ZeroMemory(instanceName, sizeof(instanceName));
  while (RegEnumKeyA(DeviceKey, index, instanceName, sizeof(instanceName)) == ERROR_SUCCESS) {
    if (StartsWithNoCase(instanceName, PortName)) {
      TraceWithPrefix(LPTENUM_TRACE_PREFIX, "    Removing Port '%s' in LPTENUM\n", instanceName);
      if (RegDeleteKeyA(DeviceKey, instanceName) != ERROR_SUCCESS) {
        index++;
      }
    } else {
      index++;
    }
    ZeroMemory(instanceName, sizeof(instanceName));
  }
}

BOOLEAN RemoveLptEnumKeys(LPCSTR KeyPath, LPCSTR PortName) {
  HKEY enumKey;
  HKEY deviceKey;
  CHAR deviceName[LPTENUM_DEVICE_NAME_SIZE];
  DWORD index;

  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, KeyPath, &enumKey) != ERROR_SUCCESS) {
    TraceWithPrefix(LPTENUM_TRACE_PREFIX, "    Could not open key '%s'\n", KeyPath);
    return TRUE;
  }
  for (index = 0; RegEnumKeyA(enumKey, index, deviceName, sizeof(deviceName)) == ERROR_SUCCESS; index++) {
    if (RegOpenKeyA(enumKey, deviceName, &deviceKey) != ERROR_SUCCESS) {
      TraceWithPrefix(LPTENUM_TRACE_PREFIX, "    Could not open subkey '%s'\n", deviceName);
      continue;
    }
    RemovePortInstances(deviceKey, PortName);
    RegCloseKey(deviceKey);
  }
  RegCloseKey(enumKey);
  return TRUE;
}
