// The device-control contract between the NRVUSB driver and its user-mode
// client, the port monitor: control codes and the driver's own status values.
// Both sides include this header; the values must never change.
#pragma once

// Every code: device type FILE_DEVICE_UNKNOWN, any access, buffered.
#define USBPRN_CTL_CODE(Function) (((0x22) << 16) | ((0) << 14) | ((Function) << 2) | (0))

#define IOCTL_USBPRN_GET_VERSION USBPRN_CTL_CODE(0x503)
#define IOCTL_USBPRN_GET_DEVICE_DESCRIPTOR USBPRN_CTL_CODE(0x504)
#define IOCTL_USBPRN_GET_DEVICE_TYPE USBPRN_CTL_CODE(0x505)
#define IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR USBPRN_CTL_CODE(0x506)
#define IOCTL_USBPRN_GET_STRING_DESCRIPTOR USBPRN_CTL_CODE(0x508)
#define IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID USBPRN_CTL_CODE(0x50B)
#define IOCTL_USBPRN_SET_CURRENT_INTERFACE USBPRN_CTL_CODE(0x50C)
#define IOCTL_USBPRN_GET_CURRENT_INTERFACE USBPRN_CTL_CODE(0x50D)
#define IOCTL_USBPRN_RESET_BULK_PIPE USBPRN_CTL_CODE(0x50E)
#define IOCTL_USBPRN_CANCEL_PIPE_REQUESTS USBPRN_CTL_CODE(0x50F)
#define IOCTL_USBPRN_ABORT_PIPE USBPRN_CTL_CODE(0x510)
#define IOCTL_USBPRN_GET_DEVICE_ID USBPRN_CTL_CODE(0x601)
#define IOCTL_USBPRN_GET_PORT_STATUS USBPRN_CTL_CODE(0x602)
#define IOCTL_USBPRN_SOFT_RESET USBPRN_CTL_CODE(0x603)

// The driver's own statuses: customer bit set, error severity. Typed LONG, so
// that user mode, which has no NTSTATUS type, can use them too.
#define USBPRN_STATUS_BUFFER_TOO_SMALL ((LONG)0xF0000001L)
#define USBPRN_STATUS_BAD_INTERFACE ((LONG)0xF0000002L)
#define USBPRN_STATUS_NOT_CONFIGURED ((LONG)0xF0000003L)
#define USBPRN_STATUS_BAD_PIPE ((LONG)0xF000000CL)

// Pipe selectors of the reset and abort requests.
#define USBPRN_PIPE_BULK_OUT 0
#define USBPRN_PIPE_BULK_IN 1

// The version text the driver reports, without a terminating NUL.
#define USBPRN_VERSION_TEXT "3.00.220"
#define USBPRN_VERSION_LENGTH 8
