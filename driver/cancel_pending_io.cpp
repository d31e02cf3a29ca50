// Cancelling the running read and write. Stop, remove and the cancel control
// code call it at passive level; it returns once the cancelled requests are finished.
#include "bulk_transfer.h"

// Cancels the direction's running request and waits for its finish. The
// reference taken under the lock keeps the carrying request alive across
// IoCancelIrp even when the request finishes on another processor meanwhile,
// and lets the wait be for this request, not for one started after it.
static BOOLEAN PLMUSB_CancelDirection(PDeviceExtension Extension, BOOLEAN In) {
  TransferDirection direction = PLMUSB_TransferDirection(Extension, In);
  TransferContext *context;
  BOOLEAN lastHolder;
  KIRQL oldIrql;

  KeAcquireSpinLock(direction.Lock, &oldIrql);
  context = *direction.Context;
  if (context != NULL) {
    context->CancelReferences++;
  }
  KeReleaseSpinLock(direction.Lock, oldIrql);
  if (context == NULL) {
    return FALSE;
  }

  // Between two transfers this ends nothing; the reference taken above tells
  // the completion routine not to start the next transfer.
  IoCancelIrp(context->Irp);
  PLMUSB_WaitForEvent(&context->Finished, NULL);

  KeAcquireSpinLock(direction.Lock, &oldIrql);
  lastHolder = --context->CancelReferences == 0;
  KeReleaseSpinLock(direction.Lock, oldIrql);
  if (lastHolder) {
    PLMUSB_FreeTransfer(context);
  }
  return TRUE;
}

BOOLEAN PLMUSB_CancelPendingIo(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  BOOLEAN writeCancelled = PLMUSB_CancelDirection(extension, FALSE);
  BOOLEAN readCancelled = PLMUSB_CancelDirection(extension, TRUE);

  return writeCancelled || readCancelled;
}
