// The printer's IEEE 1284 device ID: fetched with the printer-class request
// GET_DEVICE_ID into the device key's "DeviceID", and the KEY:value fields
// read back out of that text.
#include "nrvusb.h"

// The request asks for this much; the buffer has one byte more, always 0, so
// that an ID filling the whole reply still ends in a NUL.
#define DEVICE_ID_REQUEST_LENGTH 1024
#define DEVICE_ID_TIMEOUT_MS 1000
#define PRINTER_GET_DEVICE_ID 0
// Device to host, class request, to the interface.
#define PRINTER_CLASS_IN_REQUEST_TYPE 0xA1

// Long keys are searched first, short keys second, indexed by field type.
static const PCSTR LongKeys[] = {"MANUFACTURER", "MODEL", "DESCRIPTION", "COMPATIBLE ID"};
static const PCSTR ShortKeys[] = {"MFG", "MDL", "DES", "CID"};

static BOOLEAN PLMUSB_WriteDeviceIDValue(PDeviceExtension Extension, PCSTR Text) {
  HANDLE key;
  BOOLEAN written;

  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    return FALSE;
  }
  written = PLMUSB_SetKeyValue(key, L"DeviceID", Text);
  ZwClose(key);
  return written;
}

NTSTATUS PLMUSB_SetDeviceID(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PUCHAR buffer;
  PURB urb;
  NTSTATUS status;
  ULONG length;

  // An ID that cannot be fetched leaves the value empty rather than stale.
  PLMUSB_WriteDeviceIDValue(extension, "");

  buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_ID_REQUEST_LENGTH + 1, NRVUSB_POOL_TAG);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Bytes the printer does not send stay 0, so a short reply ends at what arrived.
  RtlZeroMemory(buffer, DEVICE_ID_REQUEST_LENGTH + 1);

  urb = PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         DEVICE_ID_REQUEST_LENGTH, buffer, NULL, NULL, PRINTER_CLASS_IN_REQUEST_TYPE,
                                         PRINTER_GET_DEVICE_ID, 0, 0);
  if (urb == NULL) {
    ExFreePool(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = PLMUSB_CallUSBDTimed(DeviceObject, urb, DEVICE_ID_TIMEOUT_MS);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(buffer);
    return STATUS_UNSUCCESSFUL;
  }

  // The length counts its own two bytes; anything up to 2 is no ID at all. A
  // larger length than was asked for is the printer's mistake, and the text
  // still ends at its first NUL.
  length = buffer[0] * 256u + buffer[1];
  if (length > DEVICE_ID_REQUEST_LENGTH) {
    length = DEVICE_ID_REQUEST_LENGTH;
  }
  if (length <= 2) {
    ExFreePool(buffer);
    return STATUS_UNSUCCESSFUL;
  }

  if (!PLMUSB_WriteDeviceIDValue(extension, (PCSTR)buffer + 2)) {
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePool(buffer);
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
