// The power manager: requested power IRPs, their serialisation per device, the
// bus driver's answers, system sleep and wake, and the verifier's power rules.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "death_test.h"
#include "test_stack.h"

namespace {

using platform_test::Layer;
using platform_test::TestStack;

// What a requested IRP ended with.
struct Outcome {
  bool done = false;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  IO_STATUS_BLOCK status{};
  std::vector<Outcome*>* order = nullptr;
};

VOID recordOutcome(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                   PIO_STATUS_BLOCK status) {
  auto* outcome = static_cast<Outcome*>(context);
  *outcome = Outcome{true, device, minor, state, *status, outcome->order};
  if (outcome->order != nullptr) outcome->order->push_back(outcome);
}

POWER_STATE device(DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return power;
}

NTSTATUS request(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE state, Outcome& outcome, PIRP* irp = nullptr) {
  return PoRequestPowerIrp(pdo, minor, state, recordOutcome, &outcome, irp);
}

// What a driver that does not care does: done with it, and on it goes.
NTSTATUS passPower(const Layer& layer, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(layer.lower, irp);
}

NTSTATUS startNextWhenBack(PDEVICE_OBJECT, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

class PowerManagerTest : public ::testing::Test {
 protected:
  nrv::Machine machine;
};

TEST_F(PowerManagerTest, ARequestedIrpGoesToTheTopOfTheStackAndItsFunctionRunsWhenTheBusIsDone) {
  TestStack stack(machine, 2);
  PDEVICE_OBJECT pdo = stack.physical().object();
  stack.layer(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return passPower(stack.layer(0), irp); };
  // The top layer watches the IRP come back and starts the next one only then.
  CHAR stackCount = 0;
  NTSTATUS arrivedWith = 0;
  stack.layer(1).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    stackCount = irp->StackCount;
    arrivedWith = irp->IoStatus.Status;
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type, DevicePowerState);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, startNextWhenBack, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(stack.layer(1).lower, irp);
  };
  Outcome outcome;
  EXPECT_EQ(request(pdo, IRP_MN_SET_POWER, device(PowerDeviceD2), outcome), STATUS_PENDING);
  ASSERT_TRUE(outcome.done);
  EXPECT_EQ(stackCount, stack.top()->StackSize);
  EXPECT_EQ(arrivedWith, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(outcome.device, pdo);
  EXPECT_EQ(outcome.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(outcome.state.DeviceState, PowerDeviceD2);
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(machine.busPower().devicePowerState(pdo), PowerDeviceD2);

  // No IRP to be had: nothing is sent and the function never runs.
  machine.faults().failNth(nrv::FaultKind::Irp, machine.faults().requests(nrv::FaultKind::Irp) + 1);
  Outcome refused;
  EXPECT_EQ(request(pdo, IRP_MN_SET_POWER, device(PowerDeviceD0), refused), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(refused.done);
  EXPECT_EQ(machine.busPower().devicePowerState(pdo), PowerDeviceD2);
}

TEST_F(PowerManagerTest, ADeviceGetsTheNextSetPowerOnlyAfterItsDriverStartedIt) {
  TestStack stack(machine, 1);
  PDEVICE_OBJECT pdo = stack.physical().object();
  std::vector<PIRP> seen;
  PIRP held = nullptr;
  stack.layer(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    seen.push_back(irp);
    if (held != nullptr || IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == SystemPowerState) {
      return passPower(stack.layer(0), irp);
    }
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  std::vector<Outcome*> order;
  Outcome first{.order = &order};
  Outcome second{.order = &order};
  request(pdo, IRP_MN_SET_POWER, device(PowerDeviceD3), first);
  request(pdo, IRP_MN_SET_POWER, device(PowerDeviceD0), second);
  EXPECT_EQ(seen.size(), 1u);
  // A system IRP is not held up by a device IRP.
  EXPECT_EQ(machine.power().sendSystemPowerIrp(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3).Status,
            STATUS_SUCCESS);
  EXPECT_EQ(seen.size(), 2u);

  PoStartNextPowerIrp(held);
  machine.joinThreads();
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(order, std::vector<Outcome*>{&second});
  IoCopyCurrentIrpStackLocationToNext(held);
  PoCallDriver(stack.layer(0).lower, held);
  EXPECT_EQ(order, (std::vector<Outcome*>{&second, &first}));
  EXPECT_EQ(machine.busPower().devicePowerState(pdo), PowerDeviceD3);
}

TEST_F(PowerManagerTest, TheBusHoldsAWaitWakeUntilTheDeviceSignalsOrItIsCancelled) {
  PDEVICE_OBJECT pdo = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0001\\7&1").object();
  POWER_STATE sleeping;
  sleeping.SystemState = PowerSystemSleeping3;
  EXPECT_FALSE(machine.busPower().signalWake(pdo));

  Outcome woken;
  EXPECT_EQ(request(pdo, IRP_MN_WAIT_WAKE, sleeping, woken), STATUS_PENDING);
  EXPECT_TRUE(machine.busPower().waitWakePending(pdo));
  Outcome second;
  request(pdo, IRP_MN_WAIT_WAKE, sleeping, second);
  EXPECT_EQ(second.status.Status, STATUS_DEVICE_BUSY);
  EXPECT_FALSE(woken.done);
  EXPECT_TRUE(machine.busPower().signalWake(pdo));
  EXPECT_EQ(woken.status.Status, STATUS_SUCCESS);
  EXPECT_FALSE(machine.busPower().waitWakePending(pdo));

  Outcome cancelled;
  PIRP irp = nullptr;
  request(pdo, IRP_MN_WAIT_WAKE, sleeping, cancelled, &irp);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(cancelled.status.Status, STATUS_CANCELLED);
  EXPECT_FALSE(machine.busPower().signalWake(pdo));
}

TEST_F(PowerManagerTest, SleepQueriesEveryStackFirstAndARefusalVetoesIt) {
  std::vector<std::string> log;
  NTSTATUS secondAnswers = STATUS_SUCCESS;
  auto watch = [&](nrv::PhysicalDevice& physical, std::string name, NTSTATUS* answer) {
    physical.setHandler([&log, &physical, name, answer](PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      bool query = stack->MinorFunction == IRP_MN_QUERY_POWER;
      log.push_back(name + (query ? " query S" : " set S") +
                    std::to_string(stack->Parameters.Power.State.SystemState - 1));
      if (query && answer != nullptr && *answer != STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        return platform_test::completeRequest(irp, *answer);
      }
      return physical.answerAsBusDriver(irp);
    });
  };
  nrv::PhysicalDevice& first = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0001\\7&1");
  nrv::PhysicalDevice& second = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0001\\7&2");
  watch(first, "first", nullptr);
  watch(second, "second", &secondAnswers);
  std::vector<PDEVICE_OBJECT> order{first.object(), second.object()};

  nrv::SystemPowerResult slept = machine.power().setSystemPower(PowerSystemSleeping3, order);
  EXPECT_EQ(slept.status, STATUS_SUCCESS);
  EXPECT_EQ(machine.power().systemPowerState(), PowerSystemSleeping3);
  EXPECT_EQ(machine.power().setSystemPower(PowerSystemWorking, order).status, STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"first query S3", "second query S3", "first set S3",
                                           "second set S3", "first set S0", "second set S0"}));

  log.clear();
  secondAnswers = STATUS_UNSUCCESSFUL;
  nrv::SystemPowerResult vetoed = machine.power().setSystemPower(PowerSystemHibernate, order);
  EXPECT_EQ(vetoed.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(vetoed.vetoedBy, second.object());
  EXPECT_EQ(machine.power().systemPowerState(), PowerSystemWorking);
  EXPECT_EQ(log, (std::vector<std::string>{"first query S4", "second query S4"}));
}

using PowerVerifierDeathTest = platform_test::DeathTest;

// A stack of one layer whose driver handles a requested D3 as the test says.
void runOneSetPower(const std::function<NTSTATUS(Layer& layer, PIRP irp)>& handling) {
  nrv::Machine machine;
  TestStack stack(machine, 1);
  Layer& layer = stack.layer(0);
  layer.dispatch = [&](PDEVICE_OBJECT, PIRP irp) { return handling(layer, irp); };
  Outcome outcome;
  request(stack.physical().object(), IRP_MN_SET_POWER, device(PowerDeviceD3), outcome);
}

NTSTATUS noStartNext(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(PowerVerifierDeathTest, PowerIrpRules) {
  EXPECT_DEATH(runOneSetPower([](Layer& layer, PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 return IoCallDriver(layer.lower, irp);
               }),
               "STOP: POWER_IRP_SENT_WITH_IOCALLDRIVER.*IoCallDriver from platform_tests!.*IRP_MN_SET_POWER.*"
               "PoCallDriver");
  EXPECT_DEATH(runOneSetPower([](Layer& layer, PIRP irp) {
                 IoSkipCurrentIrpStackLocation(irp);
                 return PoCallDriver(layer.lower, irp);
               }),
               "STOP: POWER_IRP_PASSED_WITHOUT_START_NEXT.*IRP_MN_SET_POWER, device D3.*TESTSTACK");
  EXPECT_DEATH(
      runOneSetPower([](Layer&, PIRP irp) { return platform_test::completeRequest(irp, STATUS_SUCCESS); }),
      "STOP: POWER_IRP_COMPLETED_WITHOUT_START_NEXT.*TESTSTACK");
  EXPECT_DEATH(runOneSetPower([](Layer& layer, PIRP irp) {
                 IoCopyCurrentIrpStackLocationToNext(irp);
                 IoSetCompletionRoutine(irp, noStartNext, nullptr, TRUE, TRUE, TRUE);
                 return PoCallDriver(layer.lower, irp);
               }),
               "STOP: POWER_IRP_NOT_STARTED_NEXT.*the driver of device .*TESTSTACK.* never called");
  EXPECT_DEATH(runOneSetPower([](Layer& layer, PIRP irp) {
                 PoStartNextPowerIrp(irp);
                 return passPower(layer, irp);
               }),
               "STOP: POWER_IRP_STARTED_NEXT_TWICE");
  EXPECT_DEATH(runOneSetPower([](Layer&, PIRP irp) {
                 IoMarkIrpPending(irp);
                 return STATUS_PENDING;
               }),
               "STOP: POWER_IRPS_NOT_FINISHED.*IRP_MN_SET_POWER, device D3.*requested by platform_tests!");
}

}  // namespace
