// The printer's IEEE 1284 device ID: fetched with the printer-class request
// GET_DEVICE_ID into the device key's "DeviceID", and the KEY:value fields
// read back out of that text.
#include "printer_class.h"

#define DEVICE_ID_TIMEOUT_MS 1000

// Long keys are searched first, short keys second, indexed by field type.
static const PCSTR LongKeys[] = {"MANUFACTURER", "MODEL", "DESCRIPTION", "COMPATIBLE ID"};
static const PCSTR ShortKeys[] = {"MFG", "MDL", "DES", "CID"};

// Asks the printer for its ID and stores the text of the reply.
static NTSTATUS PLMUSB_FetchDeviceID(PDEVICE_OBJECT DeviceObject, PURB Urb, PUCHAR Reply) {
  NTSTATUS status = PLMUSB_CallUSBDTimed(DeviceObject, Urb, DEVICE_ID_TIMEOUT_MS);
  ULONG length;

  if (!NT_SUCCESS(status) || !USBD_SUCCESS(Urb->UrbHeader.Status)) {
    return STATUS_UNSUCCESSFUL;
  }
  // The length counts its own two bytes; anything up to 2 is no ID at all. A
  // larger length than was asked for is the printer's mistake, and the text
  // still ends at its first NUL.
  length = Reply[0] * 256u + Reply[1];
  if (length > DEVICE_ID_REQUEST_LENGTH) {
    length = DEVICE_ID_REQUEST_LENGTH;
  }
  if (length <= 2 || !PLMUSB_SetDeviceKeyValue(PLMUSB_Extension(DeviceObject)->PhysicalDevice, L"DeviceID",
                                               (PCSTR)Reply + 2)) {
    return STATUS_UNSUCCESSFUL;
  }
  return status;
}

NTSTATUS PLMUSB_SetDeviceID(PDEVICE_OBJECT DeviceObject) {
  // The reply has one byte more than is asked for, always 0, so that an ID
  // filling the whole reply still ends in a NUL.
  ULONG size = DEVICE_ID_REQUEST_LENGTH + 1;
  PUCHAR reply;
  PURB urb = NULL;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

  // An ID that cannot be fetched leaves the value empty rather than stale.
  PLMUSB_SetDeviceKeyValue(PLMUSB_Extension(DeviceObject)->PhysicalDevice, L"DeviceID", "");

  reply = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, NRVUSB_POOL_TAG);
  if (reply != NULL) {
    // Bytes the printer does not send stay 0, so a short reply ends at what arrived.
    RtlZeroMemory(reply, size);
    urb = PLMUSB_BuildGetDeviceIdRequest(reply, DEVICE_ID_REQUEST_LENGTH);
  }
  if (urb != NULL) {
    status = PLMUSB_FetchDeviceID(DeviceObject, urb, reply);
    ExFreePool(urb);
  }
  if (reply != NULL) {
    ExFreePool(reply);
  }
  return status;
}

PCSTR FindChar(PCSTR Text, CHAR Character) {
  if (Text == NULL) {
    return NULL;
  }
  for (; *Text != 0; Text++) {
    if (*Text == Character) {
      return Text;
    }
  }
  return NULL;
}

PCSTR FindString(PCSTR Text, PCSTR Key) {
  SIZE_T textLength;
  SIZE_T keyLength;

  if (Text == NULL || Key == NULL) {
    return NULL;
  }
  textLength = strlen(Text);
  keyLength = strlen(Key);
  if (keyLength > textLength) {
    return NULL;
  }
  for (SIZE_T offset = 0; offset <= textLength - keyLength; offset++) {
    if (strncmp(Text + offset, Key, keyLength) == 0) {
      return Text + offset;
    }
  }
  return NULL;
}

BOOLEAN GetDeviceID(UCHAR Type, PCSTR DeviceId, PCHAR Output, ULONG Maximum) {
  PCSTR found;
  PCSTR value;
  PCSTR end;

  if (Type >= sizeof(LongKeys) / sizeof(LongKeys[0]) || Output == NULL) {
    return FALSE;
  }
  found = FindString(DeviceId, LongKeys[Type]);
  if (found == NULL) {
    found = FindString(DeviceId, ShortKeys[Type]);
  }
  if (found == NULL) {
    return FALSE;
  }
  value = FindChar(found, ':');
  if (value == NULL) {
    return FALSE;
  }
  value++;
  end = FindChar(value, ';');
  if (end != NULL && (SIZE_T)(end - value) <= Maximum) {
    memcpy(Output, value, end - value);
    Output[end - value] = 0;
  } else {
    // strncpy stops at the end of the text and pads the rest with NULs.
    strncpy(Output, value, Maximum);
    Output[Maximum] = 0;
  }
  return TRUE;
}
