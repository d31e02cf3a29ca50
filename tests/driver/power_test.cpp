// Power handling of the printer FDO on the machine's power manager: sleep vetoed
// while a port is open, system changes turned into device changes, self suspend
// and activate, wait-wake, the child printer device and the capability query.
#include "printer_on_bus.h"

namespace {

// A power IRP as the bus saw it, with the state the driver kept at that moment.
struct BusPowerIrp {
  UCHAR minor;
  POWER_STATE_TYPE type;
  int state;
  DEVICE_POWER_STATE driverState;
  bool operator==(const BusPowerIrp&) const = default;
};

BusPowerIrp query(SYSTEM_POWER_STATE state, DEVICE_POWER_STATE driverState) {
  return {IRP_MN_QUERY_POWER, SystemPowerState, state, driverState};
}
BusPowerIrp setSystem(SYSTEM_POWER_STATE state, DEVICE_POWER_STATE driverState) {
  return {IRP_MN_SET_POWER, SystemPowerState, state, driverState};
}
BusPowerIrp setDevice(DEVICE_POWER_STATE state, DEVICE_POWER_STATE driverState) {
  return {IRP_MN_SET_POWER, DevicePowerState, state, driverState};
}

struct Requested {
  bool done = false;
  IO_STATUS_BLOCK status{};
};

VOID noteRequested(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* requested = static_cast<Requested*>(context);
  requested->status = *status;
  requested->done = true;
}

class PowerTest : public PrinterOnBusTest {
 protected:
  void SetUp() override {
    printer = plugAndAdd();
    ASSERT_EQ(start(printer), STATUS_SUCCESS);
    extension = printer.extension();
    pdo = printer.usb->pdo();
    nrv::UsbDevice* usb = printer.usb;
    usb->physical().setHandler([this, usb](PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      if (stack->MajorFunction != IRP_MJ_POWER || stack->MinorFunction == IRP_MN_WAIT_WAKE)
        return usb->dispatch(irp);
      DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
      bus.push_back(
          {stack->MinorFunction, stack->Parameters.Power.Type, state, extension->CurrentDevicePowerState});
      if (failPowerUp && stack->Parameters.Power.Type == DevicePowerState && state == PowerDeviceD0) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_IO_TIMEOUT;
      }
      return usb->dispatch(irp);
    });
  }

  PFILE_OBJECT open() {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.io().open(reinterpret_cast<const char16_t*>(extension->InterfaceLinkName), u"", &file),
              STATUS_SUCCESS);
    return file;
  }

  NTSTATUS requestDevice(UCHAR minor, DEVICE_POWER_STATE state) {
    Requested requested;
    POWER_STATE power;
    power.DeviceState = state;
    EXPECT_EQ(PoRequestPowerIrp(pdo, minor, power, noteRequested, &requested, nullptr), STATUS_PENDING);
    EXPECT_TRUE(requested.done);
    return requested.status.Status;
  }

  nrv::SystemPowerResult system(SYSTEM_POWER_STATE state) {
    return machine.power().setSystemPower(state, {pdo});
  }

  void failNextIrp() {
    machine.faults().failNth(nrv::FaultKind::Irp, machine.faults().requests(nrv::FaultKind::Irp) + 1);
  }

  // The driver's wait-wake dispatch blocks until the wake, so it is sent from a thread of its own.
  void requestWaitWake() {
    machine.startThread("wait-wake", [this] {
      POWER_STATE sleeping;
      sleeping.SystemState = PowerSystemSleeping3;
      PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, sleeping, noteRequested, &woken, &waitWake);
    });
    for (int tries = 0; tries < 100 && !machine.busPower().waitWakePending(pdo); tries++) machine.sleep(1);
    ASSERT_TRUE(machine.busPower().waitWakePending(pdo));
  }

  void expectIdle() {
    EXPECT_EQ(extension->IoCount, 1);
    EXPECT_EQ(extension->PendingSystemPowerIrp, nullptr);
    EXPECT_FALSE(extension->SelfPowerRequestActive);
    EXPECT_FALSE(extension->WaitWakeActive);
  }

  AddedPrinter printer;
  PDeviceExtension extension = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<BusPowerIrp> bus;
  bool failPowerUp = false;
  Requested woken;
  PIRP waitWake = nullptr;
};

TEST_F(PowerTest, SleepIsVetoedWhileAPortIsOpenAndOtherwiseTheDeviceFollowsTheSystem) {
  PFILE_OBJECT file = open();
  nrv::SystemPowerResult vetoed = system(PowerSystemSleeping3);
  EXPECT_EQ(vetoed.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(vetoed.vetoedBy, pdo);
  EXPECT_TRUE(bus.empty());
  machine.io().close(file);

  // The device request goes down and comes back before the system request goes on.
  EXPECT_EQ(system(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{query(PowerSystemSleeping3, PowerDeviceUnspecified),
                                           setDevice(PowerDeviceD3, PowerDeviceD3),
                                           setSystem(PowerSystemSleeping3, PowerDeviceD3)}));
  EXPECT_EQ(machine.busPower().devicePowerState(pdo), PowerDeviceD3);

  // Already in D3, the printer lets the system sleep even with a port open.
  file = open();
  EXPECT_EQ(machine.power().sendSystemPowerIrp(pdo, IRP_MN_QUERY_POWER, PowerSystemHibernate).Status,
            STATUS_SUCCESS);
  bus.clear();
  EXPECT_EQ(system(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{setDevice(PowerDeviceD0, PowerDeviceD3),
                                           setSystem(PowerSystemWorking, PowerDeviceD0)}));
  expectIdle();

  // A sleep that finds the device in D3 asks for no device request.
  machine.io().close(file);
  EXPECT_EQ(requestDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  bus.clear();
  EXPECT_EQ(system(PowerSystemSleeping1).status, STATUS_SUCCESS);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{query(PowerSystemSleeping1, PowerDeviceD3),
                                           setSystem(PowerSystemSleeping1, PowerDeviceD3)}));
  expectIdle();
}

TEST_F(PowerTest, DeviceRequestsPowerDownAtOnceAndUpOnlyWhenTheBusIsDone) {
  PFILE_OBJECT file = open();
  EXPECT_EQ(requestDevice(IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(requestDevice(IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
  machine.io().close(file);
  EXPECT_EQ(requestDevice(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
  // A power-up the bus fails still counts as done.
  failPowerUp = true;
  EXPECT_EQ(requestDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(extension->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{
                     {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD0, PowerDeviceUnspecified},
                     setDevice(PowerDeviceD2, PowerDeviceD2),
                     setDevice(PowerDeviceD0, PowerDeviceD2)}));
  expectIdle();
}

TEST_F(PowerTest, WithoutAnIrpForTheDeviceRequestTheSystemRequestStillGoesDown) {
  failNextIrp();
  EXPECT_EQ(system(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{query(PowerSystemSleeping3, PowerDeviceUnspecified),
                                           setSystem(PowerSystemSleeping3, PowerDeviceUnspecified)}));
  extension->PowerDownLevel = PowerDeviceD2;
  failNextIrp();
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, TRUE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(bus.size(), 2u);
  expectIdle();
}

TEST_F(PowerTest, TheDeviceSuspendsItselfOnlyIdleAndActivatesOnlyWithAPortOpen) {
  AddedPrinter added = plugAndAdd();
  added.extension()->PowerDownLevel = PowerDeviceD2;
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(added.fdo, TRUE), STATUS_DELETE_PENDING);  // not started
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, TRUE), STATUS_SUCCESS);       // no sleep level
  extension->PowerDownLevel = PowerDeviceD2;
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, FALSE), STATUS_SUCCESS);  // no port open
  EXPECT_TRUE(bus.empty());

  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, TRUE), STATUS_SUCCESS);  // already there
  PFILE_OBJECT file = open();
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(PLMUSB_SelfSuspendOrActivate(printer.fdo, TRUE), STATUS_SUCCESS);  // a port is open
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{setDevice(PowerDeviceD2, PowerDeviceD2),
                                           setDevice(PowerDeviceD0, PowerDeviceD2)}));
  EXPECT_NE(KeReadStateEvent(&extension->SelfPowerEvent), 0);
  expectIdle();
  machine.io().close(file);
}

TEST_F(PowerTest, AWaitWakeKeepsTheDeviceAbleToWakeAndEndsWithTheWakeOrACancel) {
  extension->DeviceCapabilities.DeviceWake = PowerDeviceD2;
  extension->DeviceCapabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  Requested refused;
  POWER_STATE sleeping;
  sleeping.SystemState = PowerSystemSleeping3;
  PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, sleeping, noteRequested, &refused, nullptr);
  EXPECT_EQ(refused.status.Status, STATUS_INVALID_DEVICE_STATE);

  EXPECT_EQ(requestDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  PFILE_OBJECT file = open();
  requestWaitWake();
  EXPECT_TRUE(extension->WaitWakeActive);
  bus.clear();
  EXPECT_EQ(system(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(bus, (std::vector<BusPowerIrp>{query(PowerSystemSleeping3, PowerDeviceD3),
                                           setDevice(PowerDeviceD2, PowerDeviceD2),
                                           setSystem(PowerSystemSleeping3, PowerDeviceD2)}));

  ASSERT_TRUE(machine.busPower().signalWake(pdo));
  machine.joinThreads();
  EXPECT_EQ(woken.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(bus.back(), setDevice(PowerDeviceD0, PowerDeviceD2));
  EXPECT_EQ(extension->CurrentDevicePowerState, PowerDeviceD0);
  EXPECT_EQ(extension->PowerDownLevel, PowerDeviceD2);
  expectIdle();

  // Cancelled, the wait ends and the device stays asleep.
  machine.io().close(file);
  EXPECT_EQ(requestDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  requestWaitWake();
  IoCancelIrp(waitWake);
  machine.joinThreads();
  EXPECT_EQ(woken.status.Status, STATUS_CANCELLED);
  EXPECT_EQ(extension->CurrentDevicePowerState, PowerDeviceD3);
  expectIdle();
}

TEST_F(PowerTest, TheChildPrinterDevicePassesItsRequestsToTheBusBelowItsParent) {
  PDEVICE_OBJECT child = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver->object, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child),
            STATUS_SUCCESS);
  child->StackSize = static_cast<CCHAR>(pdo->StackSize + 1);
  PLMUSB_Extension(child)->IsChildDevice = TRUE;
  EXPECT_EQ(machine.power().sendSystemPowerIrp(child, IRP_MN_QUERY_POWER, PowerSystemSleeping3).Status,
            STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bus.empty());
  PLMUSB_Extension(child)->ParentDevice = printer.fdo;
  EXPECT_EQ(machine.power().sendSystemPowerIrp(child, IRP_MN_SET_POWER, PowerSystemSleeping3).Status,
            STATUS_SUCCESS);
  EXPECT_EQ(bus, std::vector<BusPowerIrp>{setSystem(PowerSystemSleeping3, PowerDeviceUnspecified)});
  EXPECT_EQ(PLMUSB_Extension(child)->IoCount, 0);
  expectIdle();
  IoDeleteDevice(child);
}

TEST_F(PowerTest, TheCapabilityQueryTellsTheBusWhatItFillsIn) {
  DEVICE_CAPABILITIES seen{};
  NTSTATUS arrivedWith = STATUS_SUCCESS;
  printer.usb->physical().setHandler([&](PIRP irp) {
    seen = *IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    arrivedWith = irp->IoStatus.Status;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  DEVICE_CAPABILITIES capabilities{};
  EXPECT_EQ(PLMUSB_QueryCapabilities(pdo, &capabilities), STATUS_SUCCESS);
  EXPECT_EQ(arrivedWith, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(seen.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(seen.Version, 1);
  EXPECT_EQ(seen.Address, 0xFFFFFFFFu);
  EXPECT_EQ(seen.UINumber, 0xFFFFFFFFu);

  DEVICE_CAPABILITIES untouched{};
  failNextIrp();
  EXPECT_EQ(PLMUSB_QueryCapabilities(pdo, &untouched), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(untouched.Size, 0);
}

// A bus that answers the query later: the routine reports how the request
// ended, never that it was pending.
TEST_F(PowerTest, TheCapabilityQueryReturnsHowAPendedRequestEnded) {
  PIRP held = nullptr;
  printer.usb->physical().setHandler([&held](PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  machine.startThread("bus", [this, &held] {
    machine.sleep(20);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(held)->Parameters.DeviceCapabilities.Capabilities;
    capabilities->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    held->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(held, IO_NO_INCREMENT);
  });
  DEVICE_CAPABILITIES capabilities{};
  EXPECT_EQ(PLMUSB_QueryCapabilities(pdo, &capabilities), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD1)
      << "returned only once the bus was done";
  machine.joinThreads();
}

}  // namespace
