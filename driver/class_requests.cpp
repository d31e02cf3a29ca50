// Class and vendor control requests to the printer over the default pipe.
#include "printer_class.h"

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

// Every printer class request addresses configuration 0, interface 0, setting 0.
PURB PLMUSB_BuildGetDeviceIdRequest(PVOID Reply, ULONG Length) {
  return PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, PRINTER_CLASS_TRANSFER_IN, Length,
                                          Reply, NULL, NULL, PRINTER_CLASS_IN_TO_INTERFACE,
                                          PRINTER_GET_DEVICE_ID, 0, 0);
}

NTSTATUS PLMUSB_ModifyRegister(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index) {
  PURB urb = PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_VENDOR_DEVICE, 0, 0, NULL, NULL, NULL,
                                              VENDOR_OUT_TO_DEVICE, VENDOR_MODIFY_REGISTER, Value, Index);
  NTSTATUS status;

  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = PLMUSB_CallUSBD(DeviceObject, urb);
  ExFreePool(urb);
  return NT_SUCCESS(status) ? status : STATUS_UNSUCCESSFUL;
}

VOID PLMUSB_WriteDeviceTypeRegister(PDEVICE_OBJECT DeviceObject) {
  if (PLMUSB_Extension(DeviceObject)->DeviceType == DEVICE_TYPE_WITH_REGISTER) {
    PLMUSB_ModifyRegister(DeviceObject, DEVICE_TYPE_REGISTER_VALUE, 0);
  }
}
