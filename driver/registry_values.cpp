// Reading and writing single values of a device's registry keys. Text is kept
// as ANSI inside the driver and stored as UTF-16.
#include "nrvusb.h"

// The largest value the driver ever stores is a device ID; anything larger
// (written by someone else) is treated as missing rather than read in part.
#define LARGEST_VALUE_DATA (DEVICE_ID_MAX_TEXT * sizeof(WCHAR))
// Descriptions are built in buffers of this many UTF-16 units, terminator included.
#define DESCRIPTION_UNITS 513

// Returns the value's full information in a paged buffer of its own size, which
// the caller frees, or NULL when it cannot be read (missing, too large, or no
// memory). The first query only learns the size.
static PKEY_VALUE_FULL_INFORMATION PLMUSB_QueryValue(HANDLE Key, PCWSTR ValueName) {
  UNICODE_STRING name;
  ULONG size = 0;
  ULONG length;
  NTSTATUS status;
  PKEY_VALUE_FULL_INFORMATION info;

  RtlInitUnicodeString(&name, ValueName);
  status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, NULL, 0, &size);
  if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) ||
      size > sizeof(KEY_VALUE_FULL_INFORMATION) + name.Length + sizeof(ULONG) + LARGEST_VALUE_DATA) {
    return NULL;
  }
  info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, NRVUSB_POOL_TAG);
  if (info == NULL) {
    return NULL;
  }
  // A value that grew since the first query no longer fits, and reads as missing.
  if (!NT_SUCCESS(ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &length))) {
    ExFreePool(info);
    return NULL;
  }
  return info;
}

static PUCHAR PLMUSB_ValueData(PKEY_VALUE_FULL_INFORMATION Info) { return (PUCHAR)Info + Info->DataOffset; }

BOOLEAN PLMUSB_GetKeyValue(HANDLE Key, PCWSTR ValueName, PCHAR Destination, ULONG MaximumLength) {
  PKEY_VALUE_FULL_INFORMATION info = PLMUSB_QueryValue(Key, ValueName);
  UNICODE_STRING text;
  ANSI_STRING converted;
  BOOLEAN read = FALSE;

  if (info == NULL) {
    return FALSE;
  }
  text.Buffer = (PWSTR)PLMUSB_ValueData(info);
  text.Length = (USHORT)(info->DataLength & ~1u);
  text.MaximumLength = text.Length;
  if (NT_SUCCESS(RtlUnicodeStringToAnsiString(&converted, &text, TRUE))) {
    strncpy(Destination, converted.Buffer, MaximumLength);
    RtlFreeAnsiString(&converted);
    read = TRUE;
  }
  ExFreePool(info);
  return read;
}

// Port names are read one character further than any name the driver accepts,
// so that an overlong stored name shows as such instead of being cut.
#define NAME_READ_LENGTH (PORT_NAME_MAX_LENGTH + 1)

BOOLEAN PLMUSB_GetNameValue(HANDLE Key, PCWSTR ValueName, PCHAR Name, ULONG MaximumLength) {
  CHAR read[NAME_READ_LENGTH + 1];

  RtlZeroMemory(read, sizeof(read));
  if (!PLMUSB_GetKeyValue(Key, ValueName, read, NAME_READ_LENGTH) || read[0] == 0 ||
      strlen(read) > MaximumLength) {
    return FALSE;
  }
  strcpy(Name, read);
  return TRUE;
}

// Reads the first bytes of a value's data, whatever its type. Shorter data fills
// the low bytes and leaves the rest 0; a value without data counts as unread.
static BOOLEAN PLMUSB_GetLeadingBytes(HANDLE Key, PCWSTR ValueName, PVOID Value, ULONG Size) {
  PKEY_VALUE_FULL_INFORMATION info = PLMUSB_QueryValue(Key, ValueName);
  BOOLEAN read;

  RtlZeroMemory(Value, Size);
  if (info == NULL) {
    return FALSE;
  }
  read = info->DataLength >= 1;
  if (read) {
    memcpy(Value, PLMUSB_ValueData(info), info->DataLength < Size ? info->DataLength : Size);
  }
  ExFreePool(info);
  return read;
}

BOOLEAN PLMUSB_GetKeyValueUCHAR(HANDLE Key, PCWSTR ValueName, PUCHAR Value) {
  return PLMUSB_GetLeadingBytes(Key, ValueName, Value, sizeof(*Value));
}

BOOLEAN PLMUSB_GetKeyValueDWORD(HANDLE Key, PCWSTR ValueName, PULONG Value) {
  return PLMUSB_GetLeadingBytes(Key, ValueName, Value, sizeof(*Value));
}

BOOLEAN PLMUSB_SetKeyValue(HANDLE Key, PCWSTR ValueName, PCSTR Text) {
  UNICODE_STRING name;
  ANSI_STRING text;
  UNICODE_STRING converted;
  NTSTATUS status;

  RtlInitAnsiString(&text, Text);
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&converted, &text, TRUE))) {
    return FALSE;
  }
  RtlInitUnicodeString(&name, ValueName);
  status = ZwSetValueKey(Key, &name, 0, REG_SZ, converted.Buffer, converted.Length);
  RtlFreeUnicodeString(&converted);
  return NT_SUCCESS(status);
}

BOOLEAN PLMUSB_SetKeyValueBinary(HANDLE Key, PCWSTR ValueName, PUCHAR Byte) {
  UNICODE_STRING name;

  RtlInitUnicodeString(&name, ValueName);
  return NT_SUCCESS(ZwSetValueKey(Key, &name, 0, REG_BINARY, Byte, 1));
}

// Opens the hardware key of a physical device object (or of the child printer
// device), reads the value into Read or writes Text, else the one Byte, and
// closes the key again.
static BOOLEAN PLMUSB_AccessDeviceKey(PDEVICE_OBJECT Device, PCWSTR ValueName, PCHAR Read,
                                      ULONG MaximumLength, PCSTR Text, UCHAR Byte) {
  HANDLE key;
  BOOLEAN done;

  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    return FALSE;
  }
  if (Read != NULL) {
    done = PLMUSB_GetKeyValue(key, ValueName, Read, MaximumLength);
  } else if (Text != NULL) {
    done = PLMUSB_SetKeyValue(key, ValueName, Text);
  } else {
    done = PLMUSB_SetKeyValueBinary(key, ValueName, &Byte);
  }
  ZwClose(key);
  return done;
}

BOOLEAN PLMUSB_GetDeviceKeyValue(PDEVICE_OBJECT Device, PCWSTR ValueName, PCHAR Destination,
                                 ULONG MaximumLength) {
  return PLMUSB_AccessDeviceKey(Device, ValueName, Destination, MaximumLength, NULL, 0);
}

BOOLEAN PLMUSB_SetDeviceKeyValue(PDEVICE_OBJECT Device, PCWSTR ValueName, PCSTR Text) {
  return PLMUSB_AccessDeviceKey(Device, ValueName, NULL, 0, Text, 0);
}

BOOLEAN PLMUSB_SetDeviceKeyValueBinary(PDEVICE_OBJECT Device, PCWSTR ValueName, UCHAR Byte) {
  return PLMUSB_AccessDeviceKey(Device, ValueName, NULL, 0, NULL, Byte);
}

// Builds the kept text, "(", the port name and ")" and stores it as the value.
static BOOLEAN PLMUSB_WriteDescription(HANDLE Key, PCWSTR ValueName, PCWSTR Kept, PCSTR PortName) {
  UNICODE_STRING description;
  UNICODE_STRING port;
  UNICODE_STRING name;
  ANSI_STRING portText;
  BOOLEAN written = FALSE;

  RtlInitAnsiString(&portText, PortName);
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&port, &portText, TRUE))) {
    return FALSE;
  }
  description.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, DESCRIPTION_UNITS * sizeof(WCHAR), NRVUSB_POOL_TAG);
  if (description.Buffer != NULL) {
    RtlZeroMemory(description.Buffer, DESCRIPTION_UNITS * sizeof(WCHAR));
    description.Length = 0;
    description.MaximumLength = (DESCRIPTION_UNITS - 1) * sizeof(WCHAR);
    if (NT_SUCCESS(RtlAppendUnicodeToString(&description, Kept)) &&
        NT_SUCCESS(RtlAppendUnicodeToString(&description, L"(")) &&
        NT_SUCCESS(RtlAppendUnicodeStringToString(&description, &port)) &&
        NT_SUCCESS(RtlAppendUnicodeToString(&description, L")"))) {
      RtlInitUnicodeString(&name, ValueName);
      written = NT_SUCCESS(ZwSetValueKey(Key, &name, 0, REG_SZ, description.Buffer, description.Length));
    }
    ExFreePool(description.Buffer);
  }
  RtlFreeUnicodeString(&port);
  return written;
}

// Rewrites a description so that it ends in the port name in parentheses,
// replacing whatever followed its first "(".
BOOLEAN PLMUSB_UpdateDescription(HANDLE Key, PCWSTR ValueName, PCSTR PortName) {
  PKEY_VALUE_FULL_INFORMATION info = PLMUSB_QueryValue(Key, ValueName);
  PWSTR kept;
  ULONG units;
  ULONG cut;
  BOOLEAN written;

  if (info == NULL) {
    return FALSE;
  }
  kept = (PWSTR)ExAllocatePoolWithTag(PagedPool, DESCRIPTION_UNITS * sizeof(WCHAR), NRVUSB_POOL_TAG);
  if (kept == NULL) {
    ExFreePool(info);
    return FALSE;
  }
  RtlZeroMemory(kept, DESCRIPTION_UNITS * sizeof(WCHAR));
  units = info->DataLength / sizeof(WCHAR);
  memcpy(kept, PLMUSB_ValueData(info), (units < DESCRIPTION_UNITS ? units : DESCRIPTION_UNITS - 1) * sizeof(WCHAR));
  for (cut = 0; kept[cut] != 0 && kept[cut] != L'('; cut++) {
  }
  kept[cut] = 0;

  written = PLMUSB_WriteDescription(Key, ValueName, kept, PortName);
  ExFreePool(kept);
  ExFreePool(info);
  return written;
}
