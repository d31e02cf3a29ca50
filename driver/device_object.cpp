// Creation of the printer FDO: its interface, its options from the driver key,
// and its port name from the device key.
#include "nrvusb.h"

#define DEFAULT_PORT_PREFIX "NRVUSB"
#define DEFAULT_ALT_INTERFACE 2
#define DEFAULT_MAX_TRANSFER_SIZE 0x10000
// Names are read into buffers one character longer than any name the driver
// accepts, so that an overlong stored name shows as such instead of being cut.
#define NAME_READ_LENGTH (PORT_NAME_MAX_LENGTH + 1)

typedef struct {
  CHAR Prefix[PORT_NAME_BUFFER_SIZE];
  UCHAR AltInterface;
  ULONG MaxTransferSize;
  UCHAR DeviceType;
  UCHAR PrinterClassOptions;
} DeviceOptions;

// Reads a name of at most MaximumLength characters; longer or empty names count as missing.
static BOOLEAN PLMUSB_GetName(HANDLE Key, PCWSTR ValueName, PCHAR Name, ULONG MaximumLength) {
  CHAR read[NAME_READ_LENGTH + 1];

  RtlZeroMemory(read, sizeof(read));
  if (!PLMUSB_GetKeyValue(Key, ValueName, read, NAME_READ_LENGTH) || read[0] == 0 || strlen(read) > MaximumLength) {
    return FALSE;
  }
  strcpy(Name, read);
  return TRUE;
}

static VOID PLMUSB_ReadOptions(PDEVICE_OBJECT PhysicalDevice, DeviceOptions *Options) {
  HANDLE key;
  UCHAR byte;
  ULONG number;

  strcpy(Options->Prefix, DEFAULT_PORT_PREFIX);
  Options->AltInterface = DEFAULT_ALT_INTERFACE;
  Options->MaxTransferSize = DEFAULT_MAX_TRANSFER_SIZE;
  Options->DeviceType = 0;
  Options->PrinterClassOptions = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key))) {
    return;
  }
  if (!PLMUSB_GetName(key, L"EnumName", Options->Prefix, PORT_PREFIX_MAX_LENGTH)) {
    strcpy(Options->Prefix, DEFAULT_PORT_PREFIX);
  }
  if (PLMUSB_GetKeyValueUCHAR(key, L"AltInterface", &byte) && byte <= 2) {
    Options->AltInterface = byte;
  }
  if (PLMUSB_GetKeyValueDWORD(key, L"MaxTransferSize", &number)) {
    Options->MaxTransferSize = number;
  }
  if (PLMUSB_GetKeyValueUCHAR(key, L"DeviceType", &byte) && byte <= 1) {
    Options->DeviceType = byte;
  }
  PLMUSB_GetKeyValueUCHAR(key, L"PrinterClassOptions", &Options->PrinterClassOptions);
  ZwClose(key);
}

// Keeps the stored port name when no other printer present uses it, else makes
// a new one; either way the name is written back and shown in the description.
static VOID PLMUSB_ChoosePortName(PDEVICE_OBJECT PhysicalDevice, PCSTR Prefix, PCHAR PortName) {
  HANDLE key;

  PortName[0] = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
    return;
  }
  if (!PLMUSB_GetName(key, L"PortName", PortName, PORT_NAME_MAX_LENGTH) || !PLMUSB_CheckUniqueName(PortName)) {
    PLMUSB_MakeUniqueName(Prefix, PortName);
  }
  PLMUSB_SetKeyValue(key, L"PortName", PortName);
  PLMUSB_UpdateDescription(key, L"DeviceDesc", PortName);
  ZwClose(key);
}

static VOID PLMUSB_InitializeExtension(PDeviceExtension Extension, const DeviceOptions *Options,
                                       PCUNICODE_STRING LinkName) {
  Extension->MaxTransferSize = Options->MaxTransferSize;
  Extension->AltInterface = Options->AltInterface;
  Extension->DeviceType = Options->DeviceType;
  Extension->PrinterClassOptions = Options->PrinterClassOptions;
  Extension->ChildDevice = NULL;
  memcpy(Extension->InterfaceLinkName, LinkName->Buffer, LinkName->Length);
  Extension->InterfaceLinkName[LinkName->Length / sizeof(WCHAR)] = 0;

  KeInitializeEvent(&Extension->IoCountZeroEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->SelfPowerEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->WriteDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->ReadDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->IoCountOneEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&Extension->IoCountLock);
  KeInitializeSpinLock(&Extension->WriteLock);
  KeInitializeSpinLock(&Extension->ReadLock);
}

// Takes back an interface registration that no device object will serve.
static NTSTATUS PLMUSB_WithdrawInterface(PUNICODE_STRING LinkName, NTSTATUS Status) {
  IoSetDeviceInterfaceState(LinkName, FALSE);
  RtlFreeUnicodeString(LinkName);
  return Status;
}

NTSTATUS PLMUSB_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice,
                                   PDEVICE_OBJECT *DeviceObject, PCHAR PortName) {
  UNICODE_STRING linkName = {0, 0, NULL};
  DeviceOptions options;
  NTSTATUS status;

  *DeviceObject = NULL;
  PortName[0] = 0;
  status = PLMUSB_SymbolicLink(PhysicalDevice, &linkName);
  if (!NT_SUCCESS(status)) {
    if (linkName.Buffer != NULL) {
      RtlFreeUnicodeString(&linkName);
    }
    return status;
  }
  // The extension keeps the link name to disable the interface at remove.
  if (linkName.Length >= sizeof(((PDeviceExtension)0)->InterfaceLinkName)) {
    return PLMUSB_WithdrawInterface(&linkName, STATUS_NAME_TOO_LONG);
  }
  status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), NULL, FILE_DEVICE_UNKNOWN,
                          FILE_AUTOGENERATED_DEVICE_NAME, FALSE, DeviceObject);
  if (!NT_SUCCESS(status)) {
    *DeviceObject = NULL;
    return PLMUSB_WithdrawInterface(&linkName, status);
  }

  PLMUSB_ReadOptions(PhysicalDevice, &options);
  PLMUSB_ChoosePortName(PhysicalDevice, options.Prefix, PortName);
  PLMUSB_InitializeExtension(PLMUSB_Extension(*DeviceObject), &options, &linkName);
  RtlFreeUnicodeString(&linkName);
  return STATUS_SUCCESS;
}
