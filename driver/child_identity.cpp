// Who the child printer device is: its "LPTENUM\" identifiers and description,
// made from the IEEE 1284 device ID its parent stored, and its instance ID,
// the parent's port name.
#include "nrvusb.h"

// The whole of any device ID the driver stores.
#define DEVICE_ID_VALUE_LENGTH DEVICE_ID_REQUEST_LENGTH
#define PORT_NAME_VALUE_LENGTH 256
#define FIELD_LENGTH 256
// Manufacturer plus model is kept in this many bytes, terminator included.
#define MAKE_MODEL_LENGTH 256
// Manufacturer and model of a description made from them.
#define DESCRIPTION_PART_LENGTH 101
// "LPTENUM\", 20 characters, four check digits and a terminator.
#define IDENTIFIER_LENGTH 40

static const CHAR EnumeratorPrefix[] = "LPTENUM\\";

// The texts an identifier query works on; too large for the kernel stack.
typedef struct ChildIdentity {
  CHAR DeviceId[DEVICE_ID_VALUE_LENGTH + 1];
  CHAR PortName[PORT_NAME_VALUE_LENGTH + 1];
  CHAR Manufacturer[FIELD_LENGTH + 1];
  CHAR Model[FIELD_LENGTH + 1];
  CHAR CompatibleField[FIELD_LENGTH + 1];
  CHAR MakeModel[MAKE_MODEL_LENGTH];
  CHAR HardwareId[IDENTIFIER_LENGTH];
  CHAR CompatibleId[IDENTIFIER_LENGTH];
} ChildIdentity;

// Reads the parent's stored device ID and, when asked, its port name.
static BOOLEAN PLMUSB_ReadParentValues(PDEVICE_OBJECT Parent, PCHAR DeviceId, PCHAR PortName) {
  PDEVICE_OBJECT physicalDevice = PLMUSB_Extension(Parent)->PhysicalDevice;

  PLMUSB_GetDeviceKeyValue(physicalDevice, L"DeviceID", DeviceId, DEVICE_ID_VALUE_LENGTH);
  if (PortName != NULL) {
    PLMUSB_GetDeviceKeyValue(physicalDevice, L"PortName", PortName, PORT_NAME_VALUE_LENGTH);
  }
  return DeviceId[0] != 0;
}

// Puts a text in the request as a UTF-16 string with four zero bytes after
// it, so that it also reads as a list of one string.
static VOID PLMUSB_AnswerText(PIRP Irp, PCSTR Text) {
  ANSI_STRING ansi;
  UNICODE_STRING answer;
  ULONG size;

  RtlInitAnsiString(&ansi, Text);
  size = ansi.Length * sizeof(WCHAR) + 4;
  answer.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, NRVUSB_POOL_TAG);
  if (answer.Buffer == NULL) {
    // Success without a text would be taken for an empty answer.
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return;
  }
  RtlZeroMemory(answer.Buffer, size);
  answer.Length = 0;
  answer.MaximumLength = (USHORT)size;
  RtlAnsiStringToUnicodeString(&answer, &ansi, FALSE);
  Irp->IoStatus.Information = (ULONG_PTR)answer.Buffer;
  Irp->IoStatus.Status = STATUS_SUCCESS;
}

// Appends as much of the text as fits, keeping the destination terminated.
static VOID PLMUSB_AppendBounded(PCHAR Destination, SIZE_T Size, PCSTR Text) {
  SIZE_T used = strlen(Destination);
  SIZE_T length = strlen(Text);

  if (length > Size - 1 - used) {
    length = Size - 1 - used;
  }
  memcpy(Destination + used, Text, length);
  Destination[used + length] = 0;
}

// Builds the identifiers; FALSE when the device ID lacks the manufacturer or model.
static BOOLEAN PLMUSB_BuildIdentifiers(ChildIdentity *Identity) {
  ULONG checkSum = 0;

  if (!GetDeviceID(DEVICE_ID_MANUFACTURER, Identity->DeviceId, Identity->Manufacturer, FIELD_LENGTH) ||
      !GetDeviceID(DEVICE_ID_MODEL, Identity->DeviceId, Identity->Model, FIELD_LENGTH)) {
    return FALSE;
  }
  // Two long fields together may not fit: the text is cut, and checked, as kept.
  PLMUSB_AppendBounded(Identity->MakeModel, MAKE_MODEL_LENGTH, Identity->Manufacturer);
  PLMUSB_AppendBounded(Identity->MakeModel, MAKE_MODEL_LENGTH, Identity->Model);
  Get_CRC_CheckSum((PUCHAR)Identity->MakeModel, (ULONG)strlen(Identity->MakeModel), &checkSum);
  sprintf(Identity->HardwareId, "%s%.20s%04X", EnumeratorPrefix, Identity->MakeModel, (unsigned)(checkSum & 0xFFFF));
  sprintf(Identity->CompatibleId, "%.20s%04X", Identity->MakeModel, (unsigned)(checkSum & 0xFFFF));
  return TRUE;
}

static VOID PLMUSB_AnswerIdentifier(PDEVICE_OBJECT Child, PIRP Irp, ChildIdentity *Identity) {
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      PLMUSB_AnswerText(Irp, Identity->HardwareId);
      break;
    case BusQueryHardwareIDs:
      // Printer setup finds the port its queue prints to in the child's own device key.
      PLMUSB_SetDeviceKeyValue(Child, L"PortName", Identity->PortName);
      PLMUSB_AnswerText(Irp, Identity->HardwareId);
      break;
    case BusQueryCompatibleIDs:
      PLMUSB_AnswerText(Irp, GetDeviceID(DEVICE_ID_COMPATIBLE_ID, Identity->DeviceId, Identity->CompatibleField,
                                         FIELD_LENGTH)
                                 ? Identity->CompatibleField
                                 : Identity->CompatibleId);
      break;
    case BusQueryInstanceID:
      PLMUSB_AnswerText(Irp, Identity->PortName);
      break;
    default:
      Irp->IoStatus.Information = 0;
      Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
      break;
  }
}

NTSTATUS PLMUSB_ChildPDOQueryID(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT parent = PLMUSB_Extension(DeviceObject)->ParentDevice;
  ChildIdentity *identity;

  // Until an answer is made the query has none: a failure never carries information.
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (parent == NULL) {
    return STATUS_NOT_SUPPORTED;
  }
  identity = (ChildIdentity *)ExAllocatePoolWithTag(PagedPool, sizeof(ChildIdentity), NRVUSB_POOL_TAG);
  if (identity == NULL) {
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(identity, sizeof(ChildIdentity));
  if (PLMUSB_ReadParentValues(parent, identity->DeviceId, identity->PortName) && PLMUSB_BuildIdentifiers(identity)) {
    PLMUSB_AnswerIdentifier(DeviceObject, Irp, identity);
  }
  ExFreePool(identity);
  return Irp->IoStatus.Status;
}

// The description field, else manufacturer and model, else nothing.
static VOID PLMUSB_DescribeChild(PDEVICE_OBJECT Parent, PCHAR Text, PCHAR DeviceId) {
  CHAR manufacturer[DESCRIPTION_PART_LENGTH + 1] = {0};
  CHAR model[DESCRIPTION_PART_LENGTH + 1] = {0};

  if (!PLMUSB_ReadParentValues(Parent, DeviceId, NULL)) {
    return;
  }
  if (GetDeviceID(DEVICE_ID_DESCRIPTION, DeviceId, Text, FIELD_LENGTH)) {
    return;
  }
  if (GetDeviceID(DEVICE_ID_MANUFACTURER, DeviceId, manufacturer, DESCRIPTION_PART_LENGTH) &&
      GetDeviceID(DEVICE_ID_MODEL, DeviceId, model, DESCRIPTION_PART_LENGTH)) {
    sprintf(Text, "%s %s", manufacturer, model);
  }
}

NTSTATUS PLMUSB_ChildPDOQueryDeviceText(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT parent = PLMUSB_Extension(DeviceObject)->ParentDevice;
  ChildIdentity *identity = (ChildIdentity *)ExAllocatePoolWithTag(PagedPool, sizeof(ChildIdentity), NRVUSB_POOL_TAG);

  if (identity == NULL) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(identity, sizeof(ChildIdentity));
  // The description is built where the manufacturer field would go: it holds FIELD_LENGTH + 1 bytes.
  if (parent != NULL) {
    PLMUSB_DescribeChild(parent, identity->Manufacturer, identity->DeviceId);
  }
  PLMUSB_AnswerText(Irp, identity->Manufacturer);
  ExFreePool(identity);
  return Irp->IoStatus.Status;
}
