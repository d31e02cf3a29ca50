// The 32-bit layouts the driver shares with the USB stack and the Plug and
// Play manager. Compiled only into NRVUSB.SYS, against the real headers: a
// header or packing mistake stops the build instead of corrupting a request.
#include "bulk_transfer.h"

static_assert(sizeof(void *) == 4, "NRVUSB.SYS is a 32-bit image");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor header");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "get-descriptor URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "class and vendor request URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe reset and abort URB");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe entry of the interface record");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface record with one pipe");
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "capabilities record");
static_assert(sizeof(DEVICE_RELATIONS) == 8, "relations list of one device");
