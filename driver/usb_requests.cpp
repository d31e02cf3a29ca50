// Every request to the USB stack goes through here: a URB carried by an
// internal device-control request to the device below, waited for in place.
#include "nrvusb.h"

static PIRP PLMUSB_BuildUrbRequest(PDeviceExtension Extension, PURB Urb, PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
  PIRP irp;

  KeInitializeEvent(Event, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Extension->LowerDevice, NULL, 0, NULL, 0, TRUE,
                                      Event, IoStatus);
  if (irp != NULL) {
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
  }
  return irp;
}

NTSTATUS PLMUSB_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = PLMUSB_BuildUrbRequest(PLMUSB_Extension(DeviceObject), Urb, &event, &ioStatus);
  NTSTATUS status;

  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = IoCallDriver(PLMUSB_Extension(DeviceObject)->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    PLMUSB_WaitForEvent(&event, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// Holds the finished request for its sender, so that a cancel after the time
// limit can never reach a request the I/O manager has already freed.
static NTSTATUS NTAPI PLMUSB_HoldTimedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PLMUSB_CallUSBDTimed(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Milliseconds) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = PLMUSB_BuildUrbRequest(PLMUSB_Extension(DeviceObject), Urb, &event, &ioStatus);
  LARGE_INTEGER timeout;
  NTSTATUS status;

  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoSetCompletionRoutine(irp, PLMUSB_HoldTimedRequest, &event, TRUE, TRUE, TRUE);
  IoCallDriver(PLMUSB_Extension(DeviceObject)->LowerDevice, irp);
  timeout.QuadPart = -(LONGLONG)Milliseconds * 10000;
  if (PLMUSB_WaitForEvent(&event, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    PLMUSB_WaitForEvent(&event, NULL);
  }
  // Completing it again hands the request back to the I/O manager, which frees it.
  status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
