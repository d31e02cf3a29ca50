// Port names: every printer present carries a name no other present printer
// uses, or waits for one. The list is changed only by AddDevice and remove,
// which Plug and Play runs one at a time, so it needs no lock.
#include "nrvusb.h"

#define HIGHEST_PORT_NUMBER 127

PortNameEntry *PortNameList;

BOOLEAN PLMUSB_CheckUniqueName(PCSTR Name) {
  for (PortNameEntry *entry = PortNameList; entry != NULL; entry = entry->Next) {
    if (strcmp(entry->PortName, Name) == 0) {
      return FALSE;
    }
  }
  return TRUE;
}

// The prefix is at most PORT_PREFIX_MAX_LENGTH characters, so every name fits.
BOOLEAN PLMUSB_MakeUniqueName(PCSTR Prefix, PCHAR Name) {
  for (int number = 1; number <= HIGHEST_PORT_NUMBER; number++) {
    sprintf(Name, "%s%03d:", Prefix, number);
    if (PLMUSB_CheckUniqueName(Name)) {
      return TRUE;
    }
  }
  return FALSE;
}

// The printer's entry, or the link at the tail where it would go.
static PortNameEntry **PLMUSB_FindEntry(PDEVICE_OBJECT DeviceObject) {
  PortNameEntry **link = &PortNameList;

  while (*link != NULL && (*link)->Device != DeviceObject) {
    link = &(*link)->Next;
  }
  return link;
}

// Enters a printer at the tail of the list, once: entering it again changes
// nothing. FALSE when there is no memory for its entry.
static BOOLEAN PLMUSB_EnterPrinter(PDEVICE_OBJECT DeviceObject, PCSTR Name, PCSTR Prefix, BOOLEAN Waiting) {
  PortNameEntry **tail = PLMUSB_FindEntry(DeviceObject);
  PortNameEntry *entry;

  if (*tail != NULL) {
    return TRUE;
  }
  entry = (PortNameEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortNameEntry), NRVUSB_POOL_TAG);
  if (entry == NULL) {
    return FALSE;
  }
  RtlZeroMemory(entry, sizeof(PortNameEntry));
  entry->Device = DeviceObject;
  strncpy(entry->PortName, Name, sizeof(entry->PortName) - 1);
  strncpy(entry->Prefix, Prefix, sizeof(entry->Prefix) - 1);
  entry->Waiting = Waiting;
  *tail = entry;
  return TRUE;
}

BOOLEAN PLMUSB_AddToDeviceList(PDEVICE_OBJECT DeviceObject, PCSTR Name) {
  return PLMUSB_EnterPrinter(DeviceObject, Name, "", FALSE);
}

// Writes the printer's port name and shows it in its description. An empty
// name only clears the one stored: another printer present may carry it now.
static VOID PLMUSB_RecordPortName(HANDLE DeviceKey, PCSTR PortName) {
  PLMUSB_SetKeyValue(DeviceKey, L"PortName", PortName);
  if (PortName[0] != 0) {
    PLMUSB_UpdateDescription(DeviceKey, L"DeviceDesc", PortName);
  }
}

// Reserves the name for a waiting printer and records it in its device key in
// one step; a printer whose key cannot be opened goes on waiting. Clients may
// use the printer, and printer setup see its child, only from then on.
static VOID PLMUSB_NameWaitingPrinter(PortNameEntry *Entry, PCSTR Name) {
  PDeviceExtension extension = PLMUSB_Extension(Entry->Device);
  HANDLE key;

  if (!NT_SUCCESS(
          IoOpenDeviceRegistryKey(extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    return;
  }
  strcpy(Entry->PortName, Name);
  Entry->Waiting = FALSE;
  PLMUSB_RecordPortName(key, Name);
  ZwClose(key);
  extension->WaitingForPortName = FALSE;
  IoInvalidateDeviceRelations(extension->PhysicalDevice, BusRelations);
}

// A name came free: each waiting printer, the longest waiting first, takes a
// free name of its own prefix if there is one.
static VOID PLMUSB_NameWaitingPrinters(VOID) {
  CHAR name[PORT_NAME_BUFFER_SIZE];

  for (PortNameEntry *entry = PortNameList; entry != NULL; entry = entry->Next) {
    if (entry->Waiting && PLMUSB_MakeUniqueName(entry->Prefix, name)) {
      PLMUSB_NameWaitingPrinter(entry, name);
    }
  }
}

BOOLEAN PLMUSB_RemoveFromDeviceList(PDEVICE_OBJECT DeviceObject) {
  PortNameEntry **link = PLMUSB_FindEntry(DeviceObject);
  PortNameEntry *entry = *link;
  BOOLEAN freesName;

  if (entry == NULL) {
    return FALSE;
  }
  *link = entry->Next;
  freesName = entry->PortName[0] != 0;
  ExFreePool(entry);
  if (freesName) {
    PLMUSB_NameWaitingPrinters();
  }
  return TRUE;
}

BOOLEAN PLMUSB_SetSerialRegValue(PDEVICE_OBJECT DeviceObject, UCHAR SerialNumberIndex) {
  return PLMUSB_SetDeviceKeyValueBinary(PLMUSB_Extension(DeviceObject)->PhysicalDevice, L"SerialNumberFound",
                                        SerialNumberIndex != 0 ? 1 : 0);
}

// The stored name is kept when no other printer present carries it, else the
// lowest free numbered name is made; the name is entered in the list as it is
// chosen, and only then written back and shown in the description. With every
// numbered name taken the printer is entered as waiting, and refused I/O until
// a name comes free. Without memory for its entry a named printer still runs,
// its name unprotected; a waiting one then waits until it is plugged again.
VOID PLMUSB_AssignPortName(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDevice, PCSTR Prefix,
                           PCHAR PortName) {
  BOOLEAN named = TRUE;
  HANDLE key;

  PortName[0] = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    PLMUSB_AddToDeviceList(DeviceObject, PortName);
    return;
  }
  if (!PLMUSB_GetNameValue(key, L"PortName", PortName, PORT_NAME_MAX_LENGTH) ||
      !PLMUSB_CheckUniqueName(PortName)) {
    named = PLMUSB_MakeUniqueName(Prefix, PortName);
  }
  if (!named) {
    PortName[0] = 0;
  }
  PLMUSB_EnterPrinter(DeviceObject, PortName, Prefix, !named);
  PLMUSB_RecordPortName(key, PortName);
  ZwClose(key);
  PLMUSB_Extension(DeviceObject)->WaitingForPortName = !named;
}
