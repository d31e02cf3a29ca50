// A WDM function driver that breaks the kernel's rules when asked to. Each
// misbehaviour is a routine of its own so that reports can name it; otherwise
// the driver attaches, passes requests down and removes itself as it should.
#include "broken_requests.h"

namespace {

constexpr ULONG kLeakTag = 0x6B61654C;  // "Leak"

struct BrokenExtension {
  PDEVICE_OBJECT lower;
};

BrokenExtension* extensionOf(PDEVICE_OBJECT device) {
  return static_cast<BrokenExtension*>(device->DeviceExtension);
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

__attribute__((noinline)) NTSTATUS completeTwice(PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

__attribute__((noinline)) NTSTATUS leakPool(PIRP irp) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, BROKEN_LEAK_SIZE, kLeakTag);
  return complete(irp, block != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);
}

__attribute__((noinline)) NTSTATUS pendUnmarked(PIRP irp) {
  complete(irp, STATUS_SUCCESS);
  return STATUS_PENDING;
}

NTSTATUS deviceControl(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BROKEN_COMPLETE_TWICE:
      return completeTwice(irp);
    case IOCTL_BROKEN_LEAK_POOL:
      return leakPool(irp);
    case IOCTL_BROKEN_PEND_UNMARKED:
      return pendUnmarked(irp);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extensionOf(device)->lower, irp);
}

NTSTATUS pnp(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return passDown(device, irp);
  PDEVICE_OBJECT lower = extensionOf(device)->lower;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = passDown(device, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  return status;
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(BrokenExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extensionOf(device)->lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID unload(PDRIVER_OBJECT driver) { UNREFERENCED_PARAMETER(driver); }

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++)
    DriverObject->MajorFunction[major] = passDown;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = deviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = pnp;
  DriverObject->DriverExtension->AddDevice = addDevice;
  DriverObject->DriverUnload = unload;
  return STATUS_SUCCESS;
}
