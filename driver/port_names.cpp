// Port names: every printer present carries a name no other present printer
// uses. The list is changed only by AddDevice and remove, which Plug and Play
// runs one at a time, so it needs no lock.
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

// A printer is entered once, when it is named; entering it again changes nothing.
BOOLEAN PLMUSB_AddToDeviceList(PDEVICE_OBJECT DeviceObject, PCSTR Name) {
  PortNameEntry **tail = &PortNameList;
  PortNameEntry *entry;

  for (; *tail != NULL; tail = &(*tail)->Next) {
    if ((*tail)->Device == DeviceObject) {
      return TRUE;
    }
  }
  entry = (PortNameEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortNameEntry), NRVUSB_POOL_TAG);
  if (entry == NULL) {
    return FALSE;
  }
  entry->Device = DeviceObject;
  strncpy(entry->PortName, Name, sizeof(entry->PortName) - 1);
  entry->PortName[sizeof(entry->PortName) - 1] = 0;
  entry->Next = NULL;
  *tail = entry;
  return TRUE;
}

BOOLEAN PLMUSB_RemoveFromDeviceList(PDEVICE_OBJECT DeviceObject) {
  for (PortNameEntry **link = &PortNameList; *link != NULL; link = &(*link)->Next) {
    PortNameEntry *entry = *link;
    if (entry->Device == DeviceObject) {
      *link = entry->Next;
      ExFreePool(entry);
      return TRUE;
    }
  }
  return FALSE;
}

BOOLEAN PLMUSB_SetSerialRegValue(PDEVICE_OBJECT DeviceObject, UCHAR SerialNumberIndex) {
  return PLMUSB_SetDeviceKeyValueBinary(PLMUSB_Extension(DeviceObject)->PhysicalDevice, L"SerialNumberFound",
                                        SerialNumberIndex != 0 ? 1 : 0);
}

// The stored name is kept when no other printer present carries it, else the
// lowest free numbered name is made; the name is entered in the list as it is
// chosen, and only then written back and shown in the description. Without
// memory for its entry the printer still runs, its name unprotected.
VOID PLMUSB_AssignPortName(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDevice, PCSTR Prefix,
                           PCHAR PortName) {
  HANDLE key;

  PortName[0] = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    PLMUSB_AddToDeviceList(DeviceObject, PortName);
    return;
  }
  if (!PLMUSB_GetNameValue(key, L"PortName", PortName, PORT_NAME_MAX_LENGTH) || !PLMUSB_CheckUniqueName(PortName)) {
    PLMUSB_MakeUniqueName(Prefix, PortName);
  }
  PLMUSB_AddToDeviceList(DeviceObject, PortName);
  PLMUSB_SetKeyValue(key, L"PortName", PortName);
  PLMUSB_UpdateDescription(key, L"DeviceDesc", PortName);
  ZwClose(key);
}
