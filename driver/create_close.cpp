// Open and close of the printer FDO. An open may name one pipe by the number at
// the end of its file name ("\0" binds pipe 0); a pipe serves one open at a time.
#include "nrvusb.h"

// Any larger number names no pipe; the cap keeps a long run of digits from overflowing.
static const ULONGLONG PipeNumberLimit = 0x100000000ULL;

static BOOLEAN PLMUSB_IsDigit(WCHAR Character) { return Character >= L'0' && Character <= L'9'; }

// Reads the rightmost run of digits of the name, never counting its first
// character. Returns FALSE when the name holds no such digit.
static BOOLEAN PLMUSB_ParsePipeNumber(PCUNICODE_STRING Name, ULONGLONG *PipeNumber) {
  LONG index = (LONG)(Name->Length / sizeof(WCHAR)) - 1;
  ULONGLONG number = 0;
  ULONGLONG place = 1;

  while (index > 0 && !PLMUSB_IsDigit(Name->Buffer[index])) {
    index--;
  }
  if (index <= 0) {
    return FALSE;
  }
  for (; index > 0 && PLMUSB_IsDigit(Name->Buffer[index]); index--) {
    number += (ULONGLONG)(Name->Buffer[index] - L'0') * place;
    if (number > PipeNumberLimit) {
      number = PipeNumberLimit;
    }
    if (place < PipeNumberLimit) {
      place *= 10;
    }
  }
  *PipeNumber = number;
  return TRUE;
}

static PUSBD_PIPE_INFORMATION PLMUSB_FindClosedPipe(PDeviceExtension Extension, ULONGLONG PipeNumber) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = Extension->InterfaceInfo;

  if (interfaceInfo == NULL) {
    return NULL;
  }
  for (ULONG index = 0; index < interfaceInfo->NumberOfPipes; index++) {
    if (index == PipeNumber && interfaceInfo->Pipes[index].PipeFlags == 0) {
      return &interfaceInfo->Pipes[index];
    }
  }
  return NULL;
}

static NTSTATUS PLMUSB_BindPipe(PDeviceExtension Extension, PFILE_OBJECT FileObject) {
  ULONGLONG pipeNumber;
  PUSBD_PIPE_INFORMATION pipe;

  FileObject->FsContext = NULL;
  if (FileObject->FileName.Length == 0) {
    return STATUS_SUCCESS;
  }
  if (!PLMUSB_ParsePipeNumber(&FileObject->FileName, &pipeNumber)) {
    return STATUS_INVALID_PARAMETER;
  }
  pipe = PLMUSB_FindClosedPipe(Extension, pipeNumber);
  if (pipe == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FileObject->FsContext = pipe;
  pipe->PipeFlags = 1;
  return STATUS_SUCCESS;
}

NTSTATUS PLMUSB_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  if (!PLMUSB_AdmitIoRequest(DeviceObject, Irp)) {
    return STATUS_DELETE_PENDING;
  }
  status = PLMUSB_BindPipe(extension, IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (NT_SUCCESS(status)) {
    extension->OpenCount++;
  }
  PLMUSB_CompleteRequest(Irp, status, 0);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS PLMUSB_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PUSBD_PIPE_INFORMATION pipe;

  if (extension->IsChildDevice) {
    return PLMUSB_CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }

  PLMUSB_IncrementIoCount(DeviceObject);
  pipe = (PUSBD_PIPE_INFORMATION)IoGetCurrentIrpStackLocation(Irp)->FileObject->FsContext;
  if (pipe != NULL && pipe->PipeFlags != 0) {
    pipe->PipeFlags = 0;
  }
  extension->OpenCount--;
  PLMUSB_DecrementIoCount(DeviceObject);
  return PLMUSB_CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
