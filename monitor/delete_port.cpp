// DeletePort: a port whose printer is gone leaves the list. The record is the
// handle the spooler holds for the port, so a record with a job or a device
// open is refused as busy rather than freed under the spooler.
#include "nrvusbmn.h"

static BOOL PortInUse(PortEntry *Entry) {
  BOOL inUse;

  // A job holds PORT_FLAG_JOB_OPEN for its whole length; the lock then waits
  // out a StartDocPort that is opening the device at this moment.
  if (Entry->Flags & PORT_FLAG_JOB_OPEN) {
    return TRUE;
  }
  EnterCriticalSection(&Entry->PortLock);
  inUse = (Entry->Flags & PORT_FLAG_JOB_OPEN) || PortDeviceOpen(Entry);
  LeaveCriticalSection(&Entry->PortLock);
  return inUse;
}

// NO_ERROR when the record is gone, else why it stays.
static DWORD RemovePortEntry(LPCSTR Name) {
  PortEntry **link = &PortList;
  PortEntry *entry;

  while (*link != NULL && lstrcmpiA((*link)->Name, Name) != 0) {
    link = &(*link)->Next;
  }
  entry = *link;
  if (entry == NULL) {
    return ERROR_UNKNOWN_PORT;
  }
  if (entry->Flags & PORT_FLAG_CONNECTED) {
    return ERROR_INVALID_PRINTER_COMMAND;
  }
  if (PortInUse(entry)) {
    return ERROR_BUSY;
  }
  *link = entry->Next;
  FreePortEntry(entry);
  return NO_ERROR;
}

// The server name and window are not used; the key under the spooler's Ports
// key stays.
BOOL WINAPI DeletePort(LPSTR ServerName, HWND Window, LPSTR PortName) {
  DWORD error;

  UNREFERENCED_PARAMETER(ServerName);
  UNREFERENCED_PARAMETER(Window);
  EnterCriticalSection(&PortListLock);
  error = RemovePortEntry(PortName);
  LeaveCriticalSection(&PortListLock);
  if (error != NO_ERROR) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}
