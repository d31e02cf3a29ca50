// The spooler's list of ports: every record, with the monitor's name and the
// record's description at level 2. Each call rescans the devices first.
#include "nrvusbmn.h"

// Both port types: print data goes out and replies come back.
#define MONITOR_PORT_TYPE (PORT_TYPE_WRITE | PORT_TYPE_READ)

static DWORD TextLength(LPCSTR Text) { return Text != NULL ? (DWORD)lstrlenA(Text) : 0; }

static DWORD SizeOfPorts(DWORD Level, LPCSTR MonitorName) {
  DWORD needed = 0;

  for (PortEntry *entry = PortList; entry != NULL; entry = entry->Next) {
    if (Level == 1) {
      needed += sizeof(PORT_INFO_1A) + TextLength(entry->Name) + 1;
    } else if (Level == 2) {
      needed += sizeof(PORT_INFO_2A) + TextLength(entry->Name) + TextLength(MonitorName) +
                TextLength(entry->Description) + 3;
    }
  }
  return needed;
}

// Strings are packed downward from the end of the buffer; a NULL string takes
// no room and gives a NULL field.
static LPSTR PackText(LPCSTR Text, LPBYTE *End) {
  DWORD size;

  if (Text == NULL) {
    return NULL;
  }
  size = TextLength(Text) + 1;
  *End -= size;
  CopyMemory(*End, Text, size);
  return (LPSTR)*End;
}

// Writes one record's structure at *Next and its strings below *End.
static VOID PackPort(DWORD Level, PortEntry *Entry, LPSTR MonitorName, LPBYTE *Next, LPBYTE *End) {
  if (Level == 1) {
    PORT_INFO_1A *info = (PORT_INFO_1A *)*Next;
    info->pName = PackText(Entry->Name, End);
    *Next += sizeof(PORT_INFO_1A);
  } else if (Level == 2) {
    PORT_INFO_2A *info = (PORT_INFO_2A *)*Next;
    info->pPortName = PackText(Entry->Name, End);
    info->pMonitorName = PackText(MonitorName, End);
    info->pDescription = PackText(Entry->Description, End);
    info->fPortType = MONITOR_PORT_TYPE;
    info->Reserved = 0;
    *Next += sizeof(PORT_INFO_2A);
  }
}

// Level 0 is accepted and lists no structure, only the number of ports.
BOOL WINAPI EnumPorts(LPSTR ServerName, DWORD Level, LPBYTE Buffer, DWORD BufferSize, LPDWORD Needed,
                      LPDWORD Returned) {
  CHAR monitorName[TEXT_BUFFER_SIZE];
  LPBYTE next = Buffer;
  LPBYTE end = Buffer + BufferSize;

  UNREFERENCED_PARAMETER(ServerName);
  if (Level > 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  EnterCriticalSection(&PortListLock);
  ScanPorts();
  LoadFixedText(IDS_MONITOR_NAME, monitorName, sizeof(monitorName));
  *Needed = SizeOfPorts(Level, monitorName);
  if (*Needed > BufferSize) {
    LeaveCriticalSection(&PortListLock);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *Returned = 0;
  for (PortEntry *entry = PortList; entry != NULL; entry = entry->Next) {
    PackPort(Level, entry, monitorName, &next, &end);
    (*Returned)++;
  }
  LeaveCriticalSection(&PortListLock);
  return TRUE;
}
