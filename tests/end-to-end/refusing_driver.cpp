// A function driver that refuses every device in AddDevice, so that nrvsim can
// be seen reporting a device node that never got a stack.
#include <wdm.h>

namespace {

NTSTATUS refuseDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  UNREFERENCED_PARAMETER(driver);
  UNREFERENCED_PARAMETER(physicalDevice);
  return STATUS_INSUFFICIENT_RESOURCES;
}

VOID unload(PDRIVER_OBJECT driver) { UNREFERENCED_PARAMETER(driver); }

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverExtension->AddDevice = refuseDevice;
  DriverObject->DriverUnload = unload;
  return STATUS_SUCCESS;
}
