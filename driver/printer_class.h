// The requests the driver sends the printer over its default pipe: the USB
// printer class requests, and the vendor register of printers of device type 1.
#pragma once

#include "nrvusb.h"

// bmRequestType: device to host, class, to the interface; and the two ways a
// soft reset may be addressed, host to device to the interface or to "other".
#define PRINTER_CLASS_IN_TO_INTERFACE 0xA1
#define PRINTER_CLASS_OUT_TO_INTERFACE 0x21
#define PRINTER_CLASS_OUT_TO_OTHER 0x23
#define PRINTER_CLASS_TRANSFER_IN (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)

// bRequest of the printer class requests.
#define PRINTER_GET_DEVICE_ID 0
#define PRINTER_GET_PORT_STATUS 1
#define PRINTER_SOFT_RESET 2

// Bit 0 of PrinterClassOptions addresses the soft reset to the interface.
#define CLASS_OPTION_SOFT_RESET_TO_INTERFACE 0x01

// A printer of DeviceType 1 has a vendor register that is written after every
// start and every soft reset: vendor request 4, host to device, to the device.
#define DEVICE_TYPE_WITH_REGISTER 1
#define VENDOR_OUT_TO_DEVICE 0x40
#define VENDOR_MODIFY_REGISTER 4
#define DEVICE_TYPE_REGISTER_VALUE 0x0803

PURB PLMUSB_BuildVendorOrClassRequest(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                      PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                      UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value,
                                      USHORT Index);
// GET_DEVICE_ID into the buffer: two length bytes, most significant first, then the text.
PURB PLMUSB_BuildGetDeviceIdRequest(PVOID Reply, ULONG Length);
NTSTATUS PLMUSB_ModifyRegister(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index);
// Writes the register of a printer of device type 1; other printers get nothing.
// Its result is not looked at by either caller: the register is the printer's own affair.
VOID PLMUSB_WriteDeviceTypeRegister(PDEVICE_OBJECT DeviceObject);
