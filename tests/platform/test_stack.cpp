#include "test_stack.h"

#include <gtest/gtest.h>

namespace platform_test {

namespace {

NTSTATUS layerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  Layer& layer = **static_cast<Layer**>(device->DeviceExtension);
  return layer.dispatch ? layer.dispatch(device, irp) : passDown(layer, irp);
}

NTSTATUS testDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  for (auto& dispatch : driver->MajorFunction) dispatch = layerDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

TestStack::TestStack(nrv::Machine& machine, size_t layers)
    : physical_(&machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0001\\5&1")),
      driver_(machine.modules().startDriver(testDriverEntry, "TESTSTACK").driver),
      layers_(layers) {
  PDEVICE_OBJECT below = physical_->object();
  for (Layer& layer : layers_) {
    NTSTATUS status = IoCreateDevice(&driver_->object, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &layer.device);
    if (!NT_SUCCESS(status)) ADD_FAILURE() << "IoCreateDevice failed: " << std::hex << status;
    *static_cast<Layer**>(layer.device->DeviceExtension) = &layer;
    layer.lower = IoAttachDeviceToDeviceStack(layer.device, below);
    layer.device->Flags &= ~DO_DEVICE_INITIALIZING;
    below = layer.device;
  }
}

TestStack::~TestStack() {
  for (auto layer = layers_.rbegin(); layer != layers_.rend(); ++layer) {
    IoDetachDevice(layer->lower);
    IoDeleteDevice(layer->device);
  }
}

NTSTATUS passDown(const Layer& layer, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(layer.lower, irp);
}

NTSTATUS completeRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace platform_test
