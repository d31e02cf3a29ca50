// Class and vendor control requests to the printer over the default pipe.
#include "nrvusb.h"

#define VENDOR_REQUEST_MODIFY_REGISTER 4
#define REQUEST_TYPE_VENDOR_DEVICE_OUT 0x40

PURB PLMUSB_BuildVendorOrClassRequest(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                      PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                      UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index) {
  ULONG size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, NRVUSB_POOL_TAG);

  if (urb == NULL) {
    return NULL;
  }
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = Function;
  urb->UrbControlVendorClassRequest.TransferFlags = TransferFlags;
  urb->UrbControlVendorClassRequest.TransferBufferLength = TransferBufferLength;
  urb->UrbControlVendorClassRequest.TransferBuffer = TransferBuffer;
  urb->UrbControlVendorClassRequest.TransferBufferMDL = TransferBufferMDL;
  urb->UrbControlVendorClassRequest.UrbLink = UrbLink;
  urb->UrbControlVendorClassRequest.RequestTypeReservedBits = RequestTypeReservedBits;
  urb->UrbControlVendorClassRequest.Request = Request;
  urb->UrbControlVendorClassRequest.Value = Value;
  urb->UrbControlVendorClassRequest.Index = Index;
  return urb;
}

// Writes a register of a printer of device type 1; what it does is the printer's own.
NTSTATUS PLMUSB_ModifyRegister(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
  PURB urb = PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 0, NULL, NULL, NULL,
                                              REQUEST_TYPE_VENDOR_DEVICE_OUT, VENDOR_REQUEST_MODIFY_REGISTER, Value,
                                              Index);
  NTSTATUS status;

  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = PLMUSB_CallUSBD(DeviceObject, urb);
  ExFreePool(urb);
  return NT_SUCCESS(status) ? status : STATUS_UNSUCCESSFUL;
}
