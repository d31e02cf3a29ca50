// Cancellation: IoCancelIrp, cancel routines and the cancel spin lock, and
// completion routines that ask to see cancelled requests.
#include <gtest/gtest.h>

#include <algorithm>

#include "test_stack.h"

namespace {

using platform_test::completeRequest;
using platform_test::TestStack;

struct CancelSeen {
  bool ran = false;
  BOOLEAN cancelFlag = FALSE;
  bool cancelLockHeld = false;
  KIRQL irql = PASSIVE_LEVEL;
  PDEVICE_OBJECT device = nullptr;
};
CancelSeen cancelSeen;

void cancelParked(PDEVICE_OBJECT device, PIRP irp) {
  nrv::ThreadRecord& thread = nrv::currentThread("test");
  PKSPIN_LOCK cancelLock = &nrv::currentKernel().irps.cancelSpinLock();
  cancelSeen.ran = true;
  cancelSeen.cancelFlag = irp->Cancel;
  cancelSeen.cancelLockHeld =
      std::count(thread.heldSpinLocks.begin(), thread.heldSpinLocks.end(), cancelLock) == 1;
  cancelSeen.irql = KeGetCurrentIrql();
  cancelSeen.device = device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  completeRequest(irp, STATUS_CANCELLED);
}

NTSTATUS countCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  ++*static_cast<int*>(context);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

class Cancel : public ::testing::Test {
 protected:
  void SetUp() override {
    cancelSeen = CancelSeen{};
    // The filter wants to see cancelled requests only.
    stack.layer(0).dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, countCompletion, &onCancelRoutineRuns, FALSE, FALSE, TRUE);
      return IoCallDriver(stack.layer(0).lower, irp);
    };
  }
  // The physical device holds requests until cancelled, with or without a cancel routine.
  void park(bool withCancelRoutine) {
    stack.physical().setHandler([this, withCancelRoutine](PIRP irp) {
      if (withCancelRoutine) IoSetCancelRoutine(irp, cancelParked);
      IoMarkIrpPending(irp);
      parked = irp;
      return STATUS_PENDING;
    });
  }

  nrv::Machine machine;
  TestStack stack{machine, 1};
  PIRP parked = nullptr;
  int onCancelRoutineRuns = 0;
};

TEST_F(Cancel, CancelRoutineRunsUnderTheCancelSpinLock) {
  park(true);
  auto request = machine.io().start(stack.top(), IRP_MJ_READ, 0, nullptr);
  ASSERT_EQ(request->returned(), STATUS_PENDING);

  EXPECT_TRUE(request->cancel());

  EXPECT_TRUE(cancelSeen.ran);
  EXPECT_TRUE(cancelSeen.cancelFlag);
  EXPECT_TRUE(cancelSeen.cancelLockHeld);
  EXPECT_EQ(cancelSeen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(cancelSeen.device, stack.physical().object());
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(request->completed());
  EXPECT_EQ(request->status().Status, STATUS_CANCELLED);
  EXPECT_EQ(onCancelRoutineRuns, 1);
  // The routine is used once: a second cancel finds none.
  EXPECT_FALSE(request->cancel());
}

TEST_F(Cancel, WithoutCancelRoutineTheIrpIsOnlyMarked) {
  park(false);
  auto request = machine.io().start(stack.top(), IRP_MJ_READ, 0, nullptr);

  EXPECT_FALSE(request->cancel());
  EXPECT_FALSE(request->completed());
  ASSERT_NE(parked, nullptr);
  EXPECT_TRUE(parked->Cancel);
  // The spin lock was given back: the driver can take it again.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoReleaseCancelSpinLock(irql);

  completeRequest(parked, STATUS_CANCELLED);
  EXPECT_EQ(request->status().Status, STATUS_CANCELLED);
  EXPECT_EQ(onCancelRoutineRuns, 1);
}

TEST_F(Cancel, InvokeOnCancelAloneIgnoresOtherOutcomes) {
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_CANCELLED}) {
    stack.physical().setHandler([status](PIRP irp) { return completeRequest(irp, status); });
    machine.io().call(stack.top(), IRP_MJ_READ, 0);
  }
  EXPECT_EQ(onCancelRoutineRuns, 0);
}

}  // namespace
