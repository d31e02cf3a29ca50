// The printer's device interface, by which the port monitor and setup find it.
#include "nrvusb.h"

// {762bb1b6-5164-11d1-b00b-00c0d1570f9e}
static const GUID PrinterInterfaceClass = {
    0x762bb1b6, 0x5164, 0x11d1, {0xb0, 0x0b, 0x00, 0xc0, 0xd1, 0x57, 0x0f, 0x9e}};

NTSTATUS PLMUSB_SymbolicLink(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING LinkName) {
  NTSTATUS status = IoRegisterDeviceInterface(PhysicalDevice, &PrinterInterfaceClass, NULL, LinkName);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return IoSetDeviceInterfaceState(LinkName, TRUE);
}
