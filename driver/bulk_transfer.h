// The bulk data path's own records: one running request per direction, and
// the routines its dispatch, completion and cancel steps share.
//
// Under the direction lock the dispatch, completion and cancel steps only
// record and decide; the caller's request is completed, and the carrying
// request, window and context are freed, after the lock is released.
#pragma once

#include "nrvusb.h"

// One running read or write. The carrying request and the window MDL serve
// every transfer of the request; only the URB is made anew for each.
struct TransferContext {
  PURB Urb;  // the transfer in flight; NULL between two transfers
  PDEVICE_OBJECT Device;
  PIRP Irp;  // the carrying request, owned by the driver
  PMDL Mdl;  // the window of the caller's buffer of the current transfer
  PUSBD_PIPE_INFORMATION Pipe;
  // Each cancel in progress holds a reference, so that the carrying request
  // outlives its IoCancelIrp and the cancel can wait for this very request.
  // The finish step sets Finished for them, and the last holder frees the record.
  LONG CancelReferences;  // [direction lock]
  KEVENT Finished;
  // Set by the dispatch routine once it has marked the caller's request
  // pending. A request finished before that is completed by the dispatch
  // routine, so that it never returns a request it has not seen end.
  BOOLEAN Pended;  // [direction lock]
};

// The fields of one direction in the device extension.
typedef struct TransferDirection {
  BOOLEAN In;
  PIRP *Request;
  TransferContext **Context;
  PULONG BytesDone;
  PKSPIN_LOCK Lock;
  PKEVENT DoneEvent;
} TransferDirection;

FORCEINLINE TransferDirection PLMUSB_TransferDirection(PDeviceExtension Extension, BOOLEAN In) {
  TransferDirection direction;

  direction.In = In;
  direction.Request = In ? &Extension->ReadIrp : &Extension->WriteIrp;
  direction.Context = In ? &Extension->ReadContext : &Extension->WriteContext;
  direction.BytesDone = In ? &Extension->ReadBytesDone : &Extension->WriteBytesDone;
  direction.Lock = In ? &Extension->ReadLock : &Extension->WriteLock;
  direction.DoneEvent = In ? &Extension->ReadDoneEvent : &Extension->WriteDoneEvent;
  return direction;
}

// The length of the next window: at most MaxTransferSize bytes, where 0 sets no limit.
FORCEINLINE ULONG PLMUSB_WindowLength(ULONG Remainder, ULONG MaxTransferSize) {
  return MaxTransferSize != 0 && MaxTransferSize < Remainder ? MaxTransferSize : Remainder;
}

// Aims the carrying request at the lower driver with the context's URB and
// counts the transfer; the caller then hands it down.
VOID PLMUSB_PrepareTransfer(TransferContext *Context, BOOLEAN In);
// Frees the URB, window, carrying request and the context itself.
VOID PLMUSB_FreeTransfer(TransferContext *Context);
