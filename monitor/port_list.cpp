// The list of port records, in order of creation. Records leave it only
// through port deletion; a scan never removes or reorders them.
#include "nrvusbmn.h"

PortEntry *PortList;
CRITICAL_SECTION PortListLock;

PortEntry *FindPortEntry(LPCSTR Name) {
  for (PortEntry *entry = PortList; entry != NULL; entry = entry->Next) {
    if (lstrcmpiA(entry->Name, Name) == 0) {
      return entry;
    }
  }
  return NULL;
}

static VOID AppendPortEntry(PortEntry *Entry) {
  PortEntry **link = &PortList;

  while (*link != NULL) {
    link = &(*link)->Next;
  }
  *link = Entry;
}

// The parts of a record that need no allocation of their own to be usable: a
// record without read-ahead buffer or without events still takes a job.
static VOID InitializeJobState(PortEntry *Entry) {
  InitializeCriticalSection(&Entry->PortLock);
  Entry->DeviceHandle = INVALID_HANDLE_VALUE;
  Entry->ReadBuffer = (LPBYTE)VirtualAlloc(NULL, READ_BUFFER_SIZE, MEM_COMMIT, PAGE_NOCACHE | PAGE_READWRITE);
  Entry->ReadBufferCount = 0;
  Entry->WriteOverlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  Entry->ReadOverlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
}

PortEntry *AddPortEntry(LPCSTR Name, LPCSTR Description) {
  LONG size = (LONG)(sizeof(PortEntry) + lstrlenA(Name) + 1);
  PortEntry *entry;

  EnterCriticalSection(&PortListLock);
  entry = (PortEntry *)LocalAlloc(LPTR, size);
  LeaveCriticalSection(&PortListLock);
  if (entry == NULL) {
    return NULL;
  }
  entry->Name = (LPSTR)(entry + 1);
  lstrcpyA(entry->Name, Name);
  entry->Signature = PORT_ENTRY_SIGNATURE;
  entry->Size = size;
  entry->Next = NULL;
  if (Description != NULL) {
    // A record is never listed without a description: the name stands in.
    entry->Description = CopyText(Description[0] != 0 ? Description : Name);
  }
  entry->Flags = PORT_FLAG_VALID;
  InitializeJobState(entry);
  AppendPortEntry(entry);
  CreatePortKey(Name);
  return entry;
}

// Everything a record holds, and the record itself. The record must be out of
// the list and out of every caller's hands.
VOID FreePortEntry(PortEntry *Entry) {
  if (Entry->ReadBuffer != NULL) {
    VirtualFree(Entry->ReadBuffer, 0, MEM_RELEASE);
  }
  if (Entry->WriteOverlapped.hEvent != NULL) {
    CloseHandle(Entry->WriteOverlapped.hEvent);
  }
  if (Entry->ReadOverlapped.hEvent != NULL) {
    CloseHandle(Entry->ReadOverlapped.hEvent);
  }
  DeleteCriticalSection(&Entry->PortLock);
  FreeText(Entry->Description);
  FreeText(Entry->LastPrinterDescription);
  LocalFree(Entry);
}

VOID FreePortList(VOID) {
  while (PortList != NULL) {
    PortEntry *entry = PortList;
    PortList = entry->Next;
    FreePortEntry(entry);
  }
}

BOOL SetPortDescription(PortEntry *Entry, LPCSTR Text) {
  FreeText(Entry->Description);
  Entry->Description = (Text != NULL && Text[0] != 0) ? CopyText(Text) : NULL;
  return TRUE;
}

VOID SetLastPrinterDescription(PortEntry *Entry, LPCSTR Text) {
  FreeText(Entry->LastPrinterDescription);
  Entry->LastPrinterDescription = CopyText(Text);
}

VOID SetPortFlags(PortEntry *Entry, DWORD Bits) { InterlockedOr((LONG volatile *)&Entry->Flags, (LONG)Bits); }

VOID ClearPortFlags(PortEntry *Entry, DWORD Bits) {
  InterlockedAnd((LONG volatile *)&Entry->Flags, (LONG)~Bits);
}
