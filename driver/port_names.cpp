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

BOOLEAN PLMUSB_AddToDeviceList(PDEVICE_OBJECT DeviceObject, PCSTR Name) {
  PortNameEntry *entry = (PortNameEntry *)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortNameEntry), NRVUSB_POOL_TAG);
  PortNameEntry **tail = &PortNameList;

  if (entry == NULL) {
    return FALSE;
  }
  entry->Device = DeviceObject;
  strncpy(entry->PortName, Name, sizeof(entry->PortName) - 1);
  entry->PortName[sizeof(entry->PortName) - 1] = 0;
  entry->Next = NULL;
  while (*tail != NULL) {
    tail = &(*tail)->Next;
  }
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
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  HANDLE key;
  UCHAR found = SerialNumberIndex != 0 ? 1 : 0;
  BOOLEAN written;

  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    return FALSE;
  }
  written = PLMUSB_SetKeyValueBinary(key, L"SerialNumberFound", &found);
  ZwClose(key);
  return written;
}
