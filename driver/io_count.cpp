// Requests in flight: every request holds one count, and remove waits for zero.
#include "nrvusb.h"

VOID PLMUSB_IncrementIoCount(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  KIRQL oldIrql;

  KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
  InterlockedIncrement(&extension->IoCount);
  KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
}

// Query-remove waits for the count to fall to the baseline (1), remove for 0.
// The events are never reset: once reached, the state stays reached.
// Remove frees the extension, lock included, as soon as the count is 0, so
// whoever brings it to 1 signals while still holding the lock (no one can
// bring it to 0 meanwhile), and whoever brings it to 0 signals after letting
// the lock go: setting that event is its last touch.
LONG PLMUSB_DecrementIoCount(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  KIRQL oldIrql;
  LONG count;

  KeAcquireSpinLock(&extension->IoCountLock, &oldIrql);
  count = InterlockedDecrement(&extension->IoCount);
  if (count == 1) {
    KeSetEvent(&extension->IoCountOneEvent, EVENT_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&extension->IoCountLock, oldIrql);
  if (count == 0) {
    KeSetEvent(&extension->IoCountZeroEvent, EVENT_INCREMENT, FALSE);
  }
  return count;
}

// A printer that has no port name yet is there but cannot be told apart from
// the others by its clients: it takes no I/O either.
static BOOLEAN PLMUSB_IsRunning(PDeviceExtension Extension) {
  return !Extension->DeviceRemoved && Extension->DeviceStarted && !Extension->RemovePending &&
         !Extension->StopPending;
}

BOOLEAN PLMUSB_CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);

  return PLMUSB_IsRunning(extension) && !extension->WaitingForPortName;
}

// Admits a create, read, write or device-control request: takes its request
// count, or completes it when the device does not take I/O, with
// STATUS_INVALID_DEVICE_STATE while it waits for a port name and
// STATUS_DELETE_PENDING otherwise. The child printer device never takes I/O,
// and keeps no count.
BOOLEAN PLMUSB_AdmitIoRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  if (PLMUSB_DispatchForChild(DeviceObject, Irp, &status)) {
    return FALSE;
  }
  PLMUSB_IncrementIoCount(DeviceObject);
  if (!PLMUSB_CanAcceptIoRequests(DeviceObject)) {
    PLMUSB_CompleteRequest(
        Irp, PLMUSB_IsRunning(extension) ? STATUS_INVALID_DEVICE_STATE : STATUS_DELETE_PENDING, 0);
    PLMUSB_DecrementIoCount(DeviceObject);
    return FALSE;
  }
  return TRUE;
}
