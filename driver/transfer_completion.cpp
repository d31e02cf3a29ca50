// Completion of one bulk transfer: count its bytes, then start the next window
// of the caller's buffer or finish the caller's request. Runs at DISPATCH_LEVEL
// or below in whatever context the USB stack completes the transfer.
#include "bulk_transfer.h"

// The bytes a transfer moved. A stalled transfer's count is not trusted; nor is
// that of a transfer whose carrying request failed while its URB still reads
// as a success: the bus never got to it, and the length is only what was asked
// for. Any other failed transfer's reported bytes did move.
static ULONG PLMUSB_BytesMoved(TransferContext *Context, NTSTATUS RequestStatus) {
  USBD_STATUS status = Context->Urb->UrbHeader.Status;

  if (status == USBD_STATUS_ENDPOINT_HALTED || (!NT_SUCCESS(RequestStatus) && USBD_SUCCESS(status))) {
    return 0;
  }
  return Context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

// Bytes of the request still to move after this transfer; 0 ends the request.
// A failed transfer ends it, and so does a short read: the printer had no more.
// So does a cancel in progress: one that lands between two transfers finds no
// transfer to end and only marks the carrying request, and a bus need not look
// at that mark when the next transfer arrives.
static ULONG PLMUSB_Remainder(PIRP Request, TransferContext *Context, NTSTATUS RequestStatus, ULONG BytesDone,
                              BOOLEAN In) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Context->Urb->UrbBulkOrInterruptTransfer;
  ULONG length;

  if (Context->CancelReferences != 0 || !NT_SUCCESS(RequestStatus) ||
      Context->Urb->UrbHeader.Status != USBD_STATUS_SUCCESS || Request->MdlAddress == NULL) {
    return 0;
  }
  if (In && transfer->TransferBufferLength < MmGetMdlByteCount(Context->Mdl)) {
    return 0;
  }
  length = MmGetMdlByteCount(Request->MdlAddress);
  return length > BytesDone ? length - BytesDone : 0;
}

// Moves the window past the bytes done and builds its URB. FALSE when no URB could be built.
static BOOLEAN PLMUSB_BuildNextTransfer(PIRP Request, TransferContext *Context, ULONG BytesDone, ULONG Remainder,
                                        BOOLEAN In) {
  ULONG maxTransferSize = PLMUSB_Extension(Context->Device)->MaxTransferSize;
  PCHAR buffer = (PCHAR)MmGetMdlVirtualAddress(Request->MdlAddress);

  // The bus may have mapped the last window; the mapping must go before the window moves.
  MmPrepareMdlForReuse(Context->Mdl);
  IoBuildPartialMdl(Request->MdlAddress, Context->Mdl, buffer + BytesDone,
                    PLMUSB_WindowLength(Remainder, maxTransferSize));
  Context->Urb = PLMUSB_BuildAsyncRequest(Context->Device, Context->Irp, Context->Pipe, In);
  return Context->Urb != NULL;
}

// Records the end of the request and leaves the direction idle; called under
// the direction lock. Returns the caller's request when this routine is to
// complete it, NULL when the dispatch routine has not yet seen it running and
// completes it itself.
static PIRP PLMUSB_RecordFinish(const TransferDirection *Direction, TransferContext *Context) {
  PIRP request = *Direction->Request;

  request->IoStatus.Status = STATUS_SUCCESS;
  request->IoStatus.Information = *Direction->BytesDone;
  *Direction->Request = NULL;
  *Direction->Context = NULL;
  KeSetEvent(Direction->DoneEvent, EVENT_INCREMENT, FALSE);
  return Context->Pended ? request : NULL;
}

// The transfer's request count is given back last: remove waits for it and
// then frees the device, so nothing of the device may be touched after it.
static NTSTATUS PLMUSB_TransferComplete(TransferContext *Context, NTSTATUS RequestStatus, BOOLEAN In) {
  PDEVICE_OBJECT device = Context->Device;
  PDeviceExtension extension = PLMUSB_Extension(device);
  TransferDirection direction = PLMUSB_TransferDirection(extension, In);
  PIRP request;
  PIRP carrying;
  PIRP finished;
  BOOLEAN lastHolder;
  ULONG remainder;
  KIRQL oldIrql;

  KeAcquireSpinLock(direction.Lock, &oldIrql);
  request = *direction.Request;
  *direction.BytesDone += PLMUSB_BytesMoved(Context, RequestStatus);
  remainder = PLMUSB_Remainder(request, Context, RequestStatus, *direction.BytesDone, In);
  ExFreePool(Context->Urb);
  Context->Urb = NULL;

  if (remainder != 0 && PLMUSB_BuildNextTransfer(request, Context, *direction.BytesDone, remainder, In)) {
    PLMUSB_PrepareTransfer(Context, In);
    carrying = Context->Irp;
    // Released before the hand-down: a lower driver may complete the transfer
    // at once, and its completion takes this lock again.
    KeReleaseSpinLock(direction.Lock, oldIrql);
    IoCallDriver(extension->LowerDevice, carrying);
  } else {
    finished = PLMUSB_RecordFinish(&direction, Context);
    lastHolder = Context->CancelReferences == 0;
    KeReleaseSpinLock(direction.Lock, oldIrql);
    if (finished != NULL) {
      IoCompleteRequest(finished, IO_NO_INCREMENT);
    }
    // A cancel still holding the context frees it when it lets go.
    if (lastHolder) {
      PLMUSB_FreeTransfer(Context);
    } else {
      KeSetEvent(&Context->Finished, EVENT_INCREMENT, FALSE);
    }
  }
  PLMUSB_DecrementIoCount(device);
  // The carrying request is the driver's own: completion must not go on past it.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PLMUSB_AsyncWrite_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return PLMUSB_TransferComplete((TransferContext *)Context, Irp->IoStatus.Status, FALSE);
}

NTSTATUS PLMUSB_AsyncRead_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return PLMUSB_TransferComplete((TransferContext *)Context, Irp->IoStatus.Status, TRUE);
}
