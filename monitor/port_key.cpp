// The key each known port gets under the spooler's Ports key, named by the
// port name without its colon. Nothing is written into it; a key that cannot
// be made costs the port nothing.
#include "nrvusbmn.h"

static const CHAR PortsKeyPath[] = "System\\CurrentControlSet\\Control\\Print\\Ports";

VOID CreatePortKey(LPCSTR Name) {
  CHAR keyName[PORT_NAME_VALUE_SIZE + 1];
  HKEY portsKey;
  HKEY portKey;
  int length = 0;

  // Names come from a value of at most PORT_NAME_VALUE_SIZE bytes.
  while (Name[length] != 0 && Name[length] != ':' && length < PORT_NAME_VALUE_SIZE) {
    keyName[length] = Name[length];
    length++;
  }
  keyName[length] = 0;

  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, PortsKeyPath, &portsKey) != ERROR_SUCCESS) {
    return;
  }
  if (RegCreateKeyA(portsKey, keyName, &portKey) == ERROR_SUCCESS) {
    RegCloseKey(portKey);
  }
  RegCloseKey(portsKey);
}
