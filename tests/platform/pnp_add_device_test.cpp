// A function driver whose AddDevice fails: the device node keeps the failure
// and is never started.
#include <gtest/gtest.h>

#include "machine/machine.h"

namespace {

NTSTATUS refuseDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_INSUFFICIENT_RESOURCES; }

NTSTATUS refusingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = refuseDevice;
  return STATUS_SUCCESS;
}

TEST(PnpAddDevice, AFailedAddDeviceIsKeptAndNoStartIsSent) {
  nrv::Machine machine;
  machine.pnp().setFunctionDriver(
      &machine.modules().startDriver(refusingDriverEntry, "REFUSING").driver->object);
  nrv::UsbDevice& usb = machine.usb().plugPrinter();
  const nrv::DeviceNode* node = machine.pnp().find(usb.pdo());
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->addStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node->state, nrv::DeviceNodeState::Enumerated);
  for (const nrv::PnpRequestRecord& request : machine.pnp().requests())
    EXPECT_NE(request.minor, IRP_MN_START_DEVICE);
}

TEST(PnpAddDevice, WithoutAFunctionDriverTheNodeSaysWhyItHasNoStack) {
  nrv::Machine machine;
  nrv::UsbDevice& usb = machine.usb().plugPrinter();
  EXPECT_EQ(machine.pnp().find(usb.pdo())->addStatus, STATUS_NO_SUCH_DEVICE);
}

}  // namespace
