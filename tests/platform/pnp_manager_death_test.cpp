// The Plug and Play manager's verifier rules, shown by function drivers that
// break them: a stack whose device is left initializing, and a request that
// must reach the bus driver but is completed above it.
#include <gtest/gtest.h>

#include "death_test.h"
#include "machine/machine.h"

namespace {

bool leaveInitializing = false;

NTSTATUS completeEverything(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!leaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS selfishDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = completeEverything;
  driver->DriverExtension->AddDevice = addDevice;
  return STATUS_SUCCESS;
}

void plugUnderSelfishDriver() {
  nrv::Machine machine;
  machine.pnp().setFunctionDriver(
      &machine.modules().startDriver(selfishDriverEntry, "SELFISH").driver->object);
  machine.usb().plugPrinter();
}

using PnpVerifierDeathTest = platform_test::DeathTest;

TEST_F(PnpVerifierDeathTest, AStartCompletedAboveTheBusDriverStops) {
  EXPECT_DEATH(plugUnderSelfishDriver(),
               "STOP: PNP_IRP_NOT_PASSED_DOWN.*IRP_MN_START_DEVICE to device .* without reaching the bus driver");
}

TEST_F(PnpVerifierDeathTest, AddDeviceLeavingTheDeviceInitializingStops) {
  leaveInitializing = true;
  EXPECT_DEATH(plugUnderSelfishDriver(), "STOP: DEVICE_STILL_INITIALIZING.*still has DO_DEVICE_INITIALIZING set");
}

}  // namespace
