// Completion of IRPs through a stack: routines, their control bits, pending,
// requests built by the I/O manager and IRPs a driver allocates itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_stack.h"

namespace {

using platform_test::completeRequest;
using platform_test::Layer;
using platform_test::TestStack;

// What a completion routine saw, and what it answers.
struct Probe {
  std::vector<std::string>* log;
  std::string name;
  NTSTATUS answer = STATUS_SUCCESS;
  PKEVENT signal = nullptr;
  bool ran = false;
  PDEVICE_OBJECT device = nullptr;
  BOOLEAN pendingReturned = FALSE;
  KIRQL irql = PASSIVE_LEVEL;
};

NTSTATUS probeRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* probe = static_cast<Probe*>(context);
  probe->log->push_back(probe->name);
  probe->ran = true;
  probe->device = device;
  probe->pendingReturned = irp->PendingReturned;
  probe->irql = KeGetCurrentIrql();
  if (probe->signal != nullptr) KeSetEvent(probe->signal, IO_NO_INCREMENT, FALSE);
  // Only a routine that lets completion go on passes the pending mark up.
  if (probe->answer != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned &&
      irp->CurrentLocation <= irp->StackCount) {
    IoMarkIrpPending(irp);
  }
  return probe->answer;
}

// A layer that forwards with a completion routine, as a filter watching results does.
void forwardWithProbe(Layer& layer, Probe& probe, bool onSuccess = true, bool onError = true,
                      bool onCancel = true) {
  layer.dispatch = [&layer, &probe, onSuccess, onError, onCancel](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, probeRoutine, &probe, onSuccess, onError, onCancel);
    return IoCallDriver(layer.lower, irp);
  };
}

class IrpCompletion : public ::testing::Test {
 protected:
  void answerWith(NTSTATUS status, ULONG_PTR information = 0) {
    stack.physical().setHandler([this, status, information](PIRP irp) {
      log.push_back("physical");
      return completeRequest(irp, status, information);
    });
  }
  // The physical device parks the request; a device thread completes it at DISPATCH_LEVEL later.
  void answerLaterFromDeviceThread(uint64_t delay, NTSTATUS status, ULONG_PTR information) {
    stack.physical().setHandler([this, delay, status, information](PIRP irp) {
      IoMarkIrpPending(irp);
      machine.startThread("device", [this, irp, delay, status, information] {
        machine.sleep(delay);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        log.push_back("physical");
        completeRequest(irp, status, information);
        KeLowerIrql(irql);
      });
      return STATUS_PENDING;
    });
  }

  nrv::Machine machine;
  TestStack stack{machine, 3};
  std::vector<std::string> log;
};

TEST_F(IrpCompletion, RoutinesRunBottomUpEachWithItsOwnDevice) {
  Probe low{&log, "low"}, middle{&log, "middle"}, top{&log, "top"};
  forwardWithProbe(stack.layer(0), low);
  forwardWithProbe(stack.layer(1), middle);
  forwardWithProbe(stack.layer(2), top);
  answerWith(STATUS_SUCCESS, 7);

  nrv::IrpOutcome outcome = machine.io().call(stack.top(), IRP_MJ_READ, 0);

  EXPECT_EQ(log, (std::vector<std::string>{"physical", "low", "middle", "top"}));
  EXPECT_EQ(low.device, stack.layer(0).device);
  EXPECT_EQ(middle.device, stack.layer(1).device);
  EXPECT_EQ(top.device, stack.layer(2).device);
  EXPECT_FALSE(top.pendingReturned);
  EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 7u);
}

TEST_F(IrpCompletion, ControlBitsChooseRoutinesByOutcome) {
  Probe none{&log, "none"}, onError{&log, "error"}, onSuccess{&log, "success"};
  forwardWithProbe(stack.layer(0), none, false, false, false);
  forwardWithProbe(stack.layer(1), onError, false, true, false);
  forwardWithProbe(stack.layer(2), onSuccess, true, false, false);

  struct Case {
    NTSTATUS status;
    std::vector<std::string> routines;
  };
  // A warning status is not a success.
  for (const Case& c : {Case{STATUS_SUCCESS, {"success"}}, Case{STATUS_DEVICE_DATA_ERROR, {"error"}},
                        Case{STATUS_BUFFER_OVERFLOW, {"error"}}}) {
    log.clear();
    answerWith(c.status);
    nrv::IrpOutcome outcome = machine.io().call(stack.top(), IRP_MJ_WRITE, 0);
    log.erase(log.begin());
    EXPECT_EQ(log, c.routines) << std::hex << c.status;
    EXPECT_EQ(outcome.status.Status, c.status);
  }
}

// The usual way to forward and wait: the routine stops completion, the
// dispatch routine waits for it and then completes the IRP itself.
TEST_F(IrpCompletion, MoreProcessingRequiredStopsCompletionUntilCompletedAgain) {
  KEVENT lowerDone;
  KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
  Probe middle{&log, "middle", STATUS_MORE_PROCESSING_REQUIRED, &lowerDone};
  Probe top{&log, "top"};
  forwardWithProbe(stack.layer(2), top);
  Layer& layer = stack.layer(1);
  layer.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, probeRoutine, &middle, TRUE, TRUE, TRUE);
    if (IoCallDriver(layer.lower, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_FALSE(top.ran);
    log.push_back("middle completes");
    return completeRequest(irp, STATUS_SUCCESS, irp->IoStatus.Information + 35);
  };
  answerLaterFromDeviceThread(10, STATUS_SUCCESS, 7);

  nrv::IrpOutcome outcome = machine.io().call(stack.top(), IRP_MJ_READ, 0);
  machine.joinThreads();

  EXPECT_EQ(log, (std::vector<std::string>{"physical", "middle", "middle completes", "top"}));
  EXPECT_EQ(middle.irql, DISPATCH_LEVEL);
  EXPECT_EQ(top.irql, PASSIVE_LEVEL);
  EXPECT_FALSE(top.pendingReturned);
  EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 42u);
}

TEST_F(IrpCompletion, PendingCompletionFromAnotherThreadPassesThePendingMarkUp) {
  Probe top{&log, "top"};
  forwardWithProbe(stack.layer(2), top);
  // The middle layer copies without a routine: the I/O manager must carry the mark past it.
  stack.layer(1).dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(stack.layer(1).lower, irp);
  };
  answerLaterFromDeviceThread(20, STATUS_SUCCESS, 5);
  uint64_t start = machine.scheduler().nowMilliseconds();

  std::unique_ptr<nrv::PendingRequest> request = machine.io().start(stack.top(), IRP_MJ_READ, 0, nullptr);
  EXPECT_EQ(request->returned(), STATUS_PENDING);
  EXPECT_FALSE(request->completed());
  EXPECT_TRUE(request->wait());
  machine.joinThreads();

  EXPECT_TRUE(top.pendingReturned);
  EXPECT_EQ(top.irql, DISPATCH_LEVEL);
  EXPECT_EQ(request->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(request->status().Information, 5u);
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - start, 20u);
}

TEST_F(IrpCompletion, BuiltDeviceControlCopiesBufferedOutputAndFreesItself) {
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
  NTSTATUS answer = STATUS_SUCCESS;
  stack.physical().setHandler([&](PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, code);
    EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::string(buffer, 3), "in!");
    memcpy(buffer, "ABCDEFGH", 8);
    return completeRequest(irp, answer, 4);
  });

  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR}) {
    answer = status;
    char output[8];
    memset(output, '.', sizeof(output));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(code, stack.top(), const_cast<char*>("in!"), 3, output, 8, FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(stack.top(), irp), status);

    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, status);
    EXPECT_EQ(iosb.Information, 4u);
    // Only the bytes the driver reported come back, and only on success.
    EXPECT_EQ(std::string(output, 8), status == STATUS_SUCCESS ? "ABCD...." : "........");
    EXPECT_EQ(machine.irps().describeOutstanding(), "");
  }
  // Both copies in, the one copy back (on success) out: what the copy counter saw.
  EXPECT_EQ(machine.irps().copies().bytes(nrv::CopyKind::ControlInput), 3u + 3u);
  EXPECT_EQ(machine.irps().copies().bytes(nrv::CopyKind::ControlOutput), 4u);
}

// A driver's own IRP: its routine gets no device (it has no stack location)
// and must stop completion so that the driver can free the IRP.
TEST_F(IrpCompletion, DriverAllocatedIrpIsFreedByItsOwner) {
  answerLaterFromDeviceThread(5, STATUS_SUCCESS, 3);
  for (bool freeInRoutine : {false, true}) {
    log.clear();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Probe owner{&log, "owner", STATUS_MORE_PROCESSING_REQUIRED, &done};
    owner.device = stack.top();
    PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    if (freeInRoutine) {
      IoSetCompletionRoutine(
          irp,
          [](PDEVICE_OBJECT device, PIRP irp, PVOID context) {
            NTSTATUS status = probeRoutine(device, irp, context);
            IoFreeIrp(irp);
            return status;
          },
          &owner, TRUE, TRUE, TRUE);
    } else {
      IoSetCompletionRoutine(irp, probeRoutine, &owner, TRUE, TRUE, TRUE);
    }
    EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    machine.joinThreads();
    EXPECT_EQ(log, (std::vector<std::string>{"physical", "owner"}));
    EXPECT_EQ(owner.device, nullptr);
    if (!freeInRoutine) {
      EXPECT_EQ(irp->IoStatus.Information, 3u);
      IoFreeIrp(irp);
    }
    EXPECT_EQ(machine.irps().describeOutstanding(), "");
  }
}

}  // namespace
