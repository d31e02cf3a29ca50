// System-control (WMI) requests: the driver has no data of its own to offer.
#include "nrvusb.h"

NTSTATUS PLMUSB_ProcessSysControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  if (PLMUSB_DispatchForChild(DeviceObject, Irp, &status)) {
    return status;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  PLMUSB_IncrementIoCount(DeviceObject);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  status = IoCallDriver(extension->LowerDevice, Irp);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}
