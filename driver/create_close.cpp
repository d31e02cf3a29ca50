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

// Binds the pipe to a handle unless another handle has it: two opens of the
// same pipe may race, and only one may win.
static BOOLEAN PLMUSB_ClaimPipe(PUSBD_PIPE_INFORMATION Pipe) {
  return InterlockedCompareExchange((LONG volatile *)&Pipe->PipeFlags, 1, 0) == 0;
}

static VOID PLMUSB_ReleasePipe(PUSBD_PIPE_INFORMATION Pipe) {
  InterlockedExchange((LONG volatile *)&Pipe->PipeFlags, 0);
}

static NTSTATUS PLMUSB_BindPipe(PDeviceExtension Extension, PFILE_OBJECT FileObject) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = Extension->InterfaceInfo;
  ULONGLONG pipeNumber;

  FileObject->FsContext = NULL;
  if (FileObject->FileName.Length == 0) {
    return STATUS_SUCCESS;
  }
  if (!PLMUSB_ParsePipeNumber(&FileObject->FileName, &pipeNumber)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (interfaceInfo == NULL || pipeNumber >= interfaceInfo->NumberOfPipes ||
      !PLMUSB_ClaimPipe(&interfaceInfo->Pipes[pipeNumber])) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FileObject->FsContext = &interfaceInfo->Pipes[pipeNumber];
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
    InterlockedIncrement(&extension->OpenCount);
  }
  PLMUSB_CompleteRequest(Irp, status, 0);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS PLMUSB_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PUSBD_PIPE_INFORMATION pipe;
  NTSTATUS status;

  if (PLMUSB_DispatchForChild(DeviceObject, Irp, &status)) {
    return status;
  }
  PLMUSB_IncrementIoCount(DeviceObject);
  pipe = (PUSBD_PIPE_INFORMATION)IoGetCurrentIrpStackLocation(Irp)->FileObject->FsContext;
  if (pipe != NULL) {
    PLMUSB_ReleasePipe(pipe);
  }
  InterlockedDecrement(&extension->OpenCount);
  PLMUSB_DecrementIoCount(DeviceObject);
  return PLMUSB_CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
