// The Plug and Play manager's own behaviour, shown with a small function
// driver: bus relations a driver invalidates are asked for again once the
// operation in progress has ended, or on a Plug and Play thread of their own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "death_test.h"
#include "machine/machine.h"

namespace {

// What the test driver does and saw; one driver per test.
struct DriverState {
  bool reportChild = false;
  bool twinChildren = false;  // two children that answer the same IDs
  bool invalidateWhileStarting = false;
  int relationsQueries = 0;
  int queriesWhenInvalidated = -1;
  PDEVICE_OBJECT child = nullptr;
  PDEVICE_OBJECT twin = nullptr;
};
DriverState state;

struct FdoExtension {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
};

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS passDown(FdoExtension* extension, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

PDEVICE_OBJECT createChild(PDEVICE_OBJECT fdo) {
  PDEVICE_OBJECT child = nullptr;
  IoCreateDevice(fdo->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child);
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  return child;
}

NTSTATUS answerBusRelations(PDEVICE_OBJECT fdo, PIRP irp) {
  state.relationsQueries++;
  if (!state.reportChild) return passDown(static_cast<FdoExtension*>(fdo->DeviceExtension), irp);
  if (state.child == nullptr) state.child = createChild(fdo);
  if (state.twinChildren && state.twin == nullptr) state.twin = createChild(fdo);
  ULONG count = state.twin != nullptr ? 2 : 1;
  auto* relations = static_cast<PDEVICE_RELATIONS>(
      ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT), 0x74736554));
  relations->Count = count;
  relations->Objects[0] = state.child;
  if (count == 2) relations->Objects[1] = state.twin;
  for (ULONG index = 0; index < count; index++) ObReferenceObject(relations->Objects[index]);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return complete(irp, STATUS_SUCCESS);
}

// A child says who it is: the same device and instance ID, claimed unique, for every child.
NTSTATUS answerAsChild(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      const char16_t* text = stack->Parameters.QueryId.IdType == BusQueryDeviceID     ? u"TEST\\CHILD"
                             : stack->Parameters.QueryId.IdType == BusQueryInstanceID ? u"1"
                                                                                      : nullptr;
      if (text == nullptr) break;
      size_t bytes = (std::char_traits<char16_t>::length(text) + 2) * sizeof(char16_t);
      auto* answer = static_cast<char16_t*>(ExAllocatePoolWithTag(PagedPool, bytes, 0x74736554));
      memset(answer, 0, bytes);
      memcpy(answer, text, bytes - 2 * sizeof(char16_t));
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
      return complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES:
      stack->Parameters.DeviceCapabilities.Capabilities->UniqueID = TRUE;
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      return complete(irp, STATUS_SUCCESS);
    default:
      break;
  }
  return complete(irp, irp->IoStatus.Status);
}

NTSTATUS removeFdo(PDEVICE_OBJECT fdo, PIRP irp) {
  auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
  NTSTATUS status = passDown(extension, irp);
  if (state.child != nullptr) IoDeleteDevice(state.child);
  if (state.twin != nullptr) IoDeleteDevice(state.twin);
  state.child = state.twin = nullptr;
  IoDetachDevice(extension->lower);
  IoDeleteDevice(fdo);
  return status;
}

NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (device == state.child || device == state.twin) return answerAsChild(irp);
  auto* extension = static_cast<FdoExtension*>(device->DeviceExtension);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return answerBusRelations(device, irp);
      break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      if (state.invalidateWhileStarting) {
        state.reportChild = true;
        IoInvalidateDeviceRelations(extension->pdo, BusRelations);
        state.queriesWhenInvalidated = state.relationsQueries;
      }
      break;
    case IRP_MN_REMOVE_DEVICE:
      return removeFdo(device, irp);
    default:
      break;
  }
  return passDown(extension, irp);
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
  extension->pdo = pdo;
  extension->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS driverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
  driver->DriverExtension->AddDevice = addDevice;
  return STATUS_SUCCESS;
}

class PnpManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state = DriverState{};
    machine.pnp().setFunctionDriver(&machine.modules().startDriver(driverEntry, "TESTBUS").driver->object);
  }

  nrv::DeviceNode& plug() { return *machine.pnp().find(machine.usb().plugPrinter().pdo()); }

  nrv::Machine machine;
};

TEST_F(PnpManagerTest, RelationsInvalidatedDuringAnOperationAreAskedForWhenItEnds) {
  state.invalidateWhileStarting = true;
  nrv::DeviceNode& node = plug();
  // Not asked again from inside the start: only after it, and before the plug returned.
  EXPECT_EQ(state.queriesWhenInvalidated, 0);
  EXPECT_EQ(state.relationsQueries, 2);
  EXPECT_EQ(node.children.size(), 1u);
}

TEST_F(PnpManagerTest, RelationsInvalidatedOutsideAnyOperationAreAskedForOnAThreadOfTheirOwn) {
  nrv::DeviceNode& node = plug();
  EXPECT_EQ(state.relationsQueries, 1);
  EXPECT_TRUE(node.children.empty());
  state.reportChild = true;
  IoInvalidateDeviceRelations(node.pdo, BusRelations);
  machine.joinThreads();
  EXPECT_EQ(state.relationsQueries, 2);
  ASSERT_EQ(node.children.size(), 1u);
  EXPECT_EQ(node.children.front()->pdo, state.child);
}

using PnpManagerDeathTest = platform_test::DeathTest;

TEST_F(PnpManagerDeathTest, TwoChildrenWithOneInstancePathStop) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        state = DriverState{};
        state.reportChild = state.twinChildren = true;
        machine.pnp().setFunctionDriver(
            &machine.modules().startDriver(driverEntry, "TESTBUS").driver->object);
        machine.usb().plugPrinter();
      },
      "STOP: PNP_DETECTED_FATAL_ERROR.*instance path TEST.CHILD.1, which device .* already has");
}

}  // namespace
