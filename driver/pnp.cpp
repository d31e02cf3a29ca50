// Plug and Play: not served yet; requests are refused until this part of the driver lands.
#include "nrvusb.h"

NTSTATUS PLMUSB_ProcessPnPIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return PLMUSB_CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS PLMUSB_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice) {
  UNREFERENCED_PARAMETER(DriverObject);
  UNREFERENCED_PARAMETER(PhysicalDevice);
  return STATUS_INVALID_DEVICE_REQUEST;
}
