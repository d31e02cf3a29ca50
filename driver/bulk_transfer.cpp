// Bulk reads and writes: not served yet; requests are refused until this part of the driver lands.
#include "nrvusb.h"

NTSTATUS PLMUSB_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return PLMUSB_CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS PLMUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return PLMUSB_CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Reads and writes are refused above, so no transfer can be in progress to cancel.
BOOLEAN PLMUSB_CancelPendingIo(PDEVICE_OBJECT DeviceObject) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return FALSE;
}
