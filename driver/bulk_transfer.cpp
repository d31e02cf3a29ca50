// Bulk reads and writes: the dispatch routines start the first transfer of a
// request; each transfer's completion starts the next (transfer_completion.cpp).
// The caller's buffer is never copied: every transfer is a window onto it.
#include "bulk_transfer.h"

// The pipe the handle is bound to, while the selected interface still has it:
// a switch to an alternate setting with fewer pipes leaves it pointing past them.
static PUSBD_PIPE_INFORMATION PLMUSB_BoundPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = PLMUSB_Extension(DeviceObject)->InterfaceInfo;
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PUSBD_PIPE_INFORMATION bound = fileObject != NULL ? (PUSBD_PIPE_INFORMATION)fileObject->FsContext : NULL;

  if (bound == NULL || interfaceInfo == NULL ||
      bound >= &interfaceInfo->Pipes[interfaceInfo->NumberOfPipes]) {
    return NULL;
  }
  return bound;
}

// The pipe bound to the handle when its direction fits, else the first bulk pipe of the direction.
static PUSBD_PIPE_INFORMATION PLMUSB_ChoosePipe(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In) {
  PUSBD_PIPE_INFORMATION bound = PLMUSB_BoundPipe(DeviceObject, Irp);

  if (bound != NULL && (USB_ENDPOINT_DIRECTION_IN(bound->EndpointAddress) != 0) == In) {
    return bound;
  }
  return In ? PLMUSB_GetBulkInPipe(DeviceObject) : PLMUSB_GetBulkOutPipe(DeviceObject);
}

PURB PLMUSB_BuildAsyncRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION Pipe, UCHAR Direction) {
  ULONG size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, NRVUSB_POOL_TAG);

  UNREFERENCED_PARAMETER(DeviceObject);
  if (urb == NULL) {
    return NULL;
  }
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = Pipe->PipeHandle;
  urb->UrbBulkOrInterruptTransfer.TransferFlags =
      Direction != 0 ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = MmGetMdlByteCount(Irp->MdlAddress);
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = Irp->MdlAddress;
  return urb;
}

VOID PLMUSB_PrepareTransfer(TransferContext *Context, BOOLEAN In) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Context->Irp);

  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Context->Urb;
  IoSetCompletionRoutine(Context->Irp, In ? PLMUSB_AsyncRead_Complete : PLMUSB_AsyncWrite_Complete, Context, TRUE,
                         TRUE, TRUE);
  PLMUSB_IncrementIoCount(Context->Device);
}

VOID PLMUSB_FreeTransfer(TransferContext *Context) {
  if (Context->Urb != NULL) {
    ExFreePool(Context->Urb);
  }
  if (Context->Mdl != NULL) {
    Context->Irp->MdlAddress = NULL;
    IoFreeMdl(Context->Mdl);
  }
  if (Context->Irp != NULL) {
    IoFreeIrp(Context->Irp);
  }
  ExFreePool(Context);
}

// Builds the carrying request, its window over the first MaxTransferSize
// bytes (0: the whole buffer) and the first URB. FALSE when any is missing.
static BOOLEAN PLMUSB_BuildFirstTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, TransferContext *Context,
                                         PUSBD_PIPE_INFORMATION Pipe, BOOLEAN In, ULONG MaxTransferSize) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  ULONG length = MmGetMdlByteCount(Irp->MdlAddress);
  PVOID buffer = MmGetMdlVirtualAddress(Irp->MdlAddress);

  Context->Device = DeviceObject;
  Context->Pipe = Pipe;
  Context->Irp = IoAllocateIrp((CCHAR)(extension->LowerDevice->StackSize + 1), FALSE);
  if (Context->Irp == NULL) {
    return FALSE;
  }
  Context->Mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, Context->Irp);
  if (Context->Mdl == NULL) {
    return FALSE;
  }
  IoBuildPartialMdl(Irp->MdlAddress, Context->Mdl, buffer, PLMUSB_WindowLength(length, MaxTransferSize));
  Context->Urb = PLMUSB_BuildAsyncRequest(DeviceObject, Context->Irp, Pipe, In);
  return Context->Urb != NULL;
}

// Makes the request the direction's running one. A direction runs one request
// at a time; a second one would overwrite the first's state, so it is refused.
static BOOLEAN PLMUSB_ClaimDirection(const TransferDirection *Direction, PIRP Irp) {
  BOOLEAN claimed = FALSE;
  KIRQL oldIrql;

  KeAcquireSpinLock(Direction->Lock, &oldIrql);
  if (*Direction->Request == NULL) {
    *Direction->Request = Irp;
    *Direction->BytesDone = 0;
    // The done event tells whether the direction is idle.
    KeClearEvent(Direction->DoneEvent);
    claimed = TRUE;
  }
  KeReleaseSpinLock(Direction->Lock, oldIrql);
  return claimed;
}

static VOID PLMUSB_ReleaseDirection(const TransferDirection *Direction) {
  KIRQL oldIrql;

  KeAcquireSpinLock(Direction->Lock, &oldIrql);
  *Direction->Request = NULL;
  *Direction->Context = NULL;
  KeSetEvent(Direction->DoneEvent, EVENT_INCREMENT, FALSE);
  KeReleaseSpinLock(Direction->Lock, oldIrql);
}

// A transfer that could not be started may have found the pipe halted or the port disabled.
static VOID PLMUSB_RecoverPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  if (PLMUSB_CanAcceptIoRequests(DeviceObject) && !NT_SUCCESS(PLMUSB_ResetPipe(DeviceObject, Pipe))) {
    PLMUSB_ResetDevice(DeviceObject);
  }
}

// Once the first transfer is down, the completion routine may finish the
// request at any moment; the one of the two that comes second completes it.
// While the request still runs it is marked pending here, and the completion
// routine completes it; if it has finished already, it is completed here.
static NTSTATUS PLMUSB_PendOrComplete(const TransferDirection *Direction, PIRP Irp) {
  BOOLEAN running;
  KIRQL oldIrql;

  KeAcquireSpinLock(Direction->Lock, &oldIrql);
  running = *Direction->Request == Irp;
  if (running) {
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    (*Direction->Context)->Pended = TRUE;
  }
  KeReleaseSpinLock(Direction->Lock, oldIrql);
  if (running) {
    return STATUS_PENDING;
  }
  // The finish step gave it its status and byte count; a started request always succeeds.
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

static NTSTATUS PLMUSB_RunRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  TransferDirection direction = PLMUSB_TransferDirection(extension, In);
  ULONG maxTransferSize = extension->MaxTransferSize;
  PUSBD_PIPE_INFORMATION pipe;
  TransferContext *context;
  PIRP carrying;
  KIRQL oldIrql;

  pipe = PLMUSB_ChoosePipe(DeviceObject, Irp, In);
  if (pipe == NULL) {
    return PLMUSB_CompleteRequest(Irp, STATUS_INVALID_HANDLE, 0);
  }
  if (Irp->MdlAddress == NULL || MmGetMdlByteCount(Irp->MdlAddress) == 0) {
    return PLMUSB_CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  context = (TransferContext *)ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferContext), NRVUSB_POOL_TAG);
  if (context == NULL) {
    return PLMUSB_CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  RtlZeroMemory(context, sizeof(TransferContext));
  KeInitializeEvent(&context->Finished, NotificationEvent, FALSE);
  if (!PLMUSB_ClaimDirection(&direction, Irp)) {
    ExFreePool(context);
    return PLMUSB_CompleteRequest(Irp, STATUS_DEVICE_BUSY, 0);
  }
  if (!PLMUSB_BuildFirstTransfer(DeviceObject, Irp, context, pipe, In, maxTransferSize)) {
    PLMUSB_RecoverPipe(DeviceObject, pipe);
    PLMUSB_FreeTransfer(context);
    PLMUSB_ReleaseDirection(&direction);
    return PLMUSB_CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }

  carrying = context->Irp;
  KeAcquireSpinLock(direction.Lock, &oldIrql);
  *direction.Context = context;
  PLMUSB_PrepareTransfer(context, In);
  KeReleaseSpinLock(direction.Lock, oldIrql);
  // A failed hand-down has already run the completion routine, which finished the request.
  if (!NT_SUCCESS(IoCallDriver(extension->LowerDevice, carrying))) {
    PLMUSB_RecoverPipe(DeviceObject, pipe);
  }
  return PLMUSB_PendOrComplete(&direction, Irp);
}

// The dispatch routine holds a request count of its own until it returns, so
// that remove cannot free the device while it still looks at the request.
static NTSTATUS PLMUSB_StartTransfers(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In) {
  NTSTATUS status;

  Irp->IoStatus.Information = 0;
  if (!PLMUSB_AdmitIoRequest(DeviceObject, Irp)) {
    return STATUS_DELETE_PENDING;
  }
  status = PLMUSB_RunRequest(DeviceObject, Irp, In);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS PLMUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PLMUSB_StartTransfers(DeviceObject, Irp, FALSE); }

NTSTATUS PLMUSB_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return PLMUSB_StartTransfers(DeviceObject, Irp, TRUE); }
