// The verifier stops the machine on each broken rule, and says which rule and
// where. Every case runs on a machine of its own in a child process.
#include <gtest/gtest.h>

#include "test_stack.h"
#include "death_test.h"

namespace {

using platform_test::completeRequest;
using platform_test::TestStack;

constexpr ULONG kLeakTag = 0x6B61654C;  // "Leak"
constexpr ULONG kTestTag = 0x74736554;  // "Test"

using VerifierDeathTest = platform_test::DeathTest;

NTSTATUS leakyDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  ExAllocatePoolWithTag(NonPagedPool, 48, kLeakTag);
  return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, DeadlockNamesEveryWaitingThread) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "STOP: DEADLOCK.*thread 'main' at PASSIVE_LEVEL: KeWaitForSingleObject on notification event .* called "
      "from platform_tests!.*DeadlockNamesEveryWaitingThread");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        machine.startThread("worker",
                            [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
        machine.joinThreads();
      },
      "STOP: DEADLOCK.*thread 'main' at PASSIVE_LEVEL: the end of thread 'worker'.*thread 'worker' at "
      "PASSIVE_LEVEL: KeWaitForSingleObject on synchronization event");
}

TEST_F(VerifierDeathTest, LeakedPoolIsReportedWithTagSizeAndAllocator) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.modules().startDriver(leakyDriverEntry, "LEAKY");
      },
      "STOP: DRIVER_UNLOADED_WITHOUT_FREEING_POOL.*LEAKY leaves 1 pool block.*"
      "48 bytes of non-paged pool tagged 'Leak' at .*, allocated by platform_tests!.*leakyDriverEntry");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        ExAllocatePoolWithTag(PagedPool, 20, kTestTag);
      },
      "STOP: POOL_NOT_FREED.*20 bytes of paged pool tagged 'Test'");
}

TEST_F(VerifierDeathTest, BlockingWaitWhileHoldingASpinLock) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "STOP: IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject was called at DISPATCH_LEVEL");
}

TEST_F(VerifierDeathTest, SpinLockRules) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        TestStack stack(machine, 1);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        stack.layer(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
          KIRQL irql;
          KeAcquireSpinLock(&lock, &irql);
          return completeRequest(irp, STATUS_SUCCESS);
        };
        machine.io().call(stack.top(), IRP_MJ_READ, 0);
      },
      "STOP: SPIN_LOCK_NOT_RELEASED.*the IRP_MJ_READ .* returned holding spin lock");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KSPIN_LOCK first;
        KSPIN_LOCK second;
        KeInitializeSpinLock(&first);
        KeInitializeSpinLock(&second);
        KIRQL outer;
        KIRQL inner;
        KeAcquireSpinLock(&first, &outer);
        KeAcquireSpinLock(&second, &inner);
        KeReleaseSpinLock(&second, inner);
        KeReleaseSpinLock(&first, outer);
        KeAcquireSpinLock(&second, &outer);
        KeAcquireSpinLock(&first, &inner);
      },
      "STOP: SPIN_LOCK_ORDER");
}

TEST_F(VerifierDeathTest, IrpRules) {
  // An IRP sized for the bottom of the stack, sent to its top.
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        TestStack stack(machine, 1);
        stack.layer(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
          return IoCallDriver(stack.layer(0).lower, irp);
        };
        PIRP irp = IoAllocateIrp(stack.physical().object()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(stack.top(), irp);
      },
      "STOP: NO_MORE_IRP_STACK_LOCATIONS.*the IRP has 1 stack location");
  // A routine that stops completion must not also let the pending mark go.
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        TestStack stack(machine, 1);
        stack.layer(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoSetCompletionRoutine(
              irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
          return IoCallDriver(stack.layer(0).lower, irp);
        };
        stack.physical().setHandler([](PIRP irp) {
          IoMarkIrpPending(irp);
          completeRequest(irp, STATUS_SUCCESS);
          return STATUS_PENDING;
        });
        machine.io().call(stack.top(), IRP_MJ_READ, 0);
      },
      "STOP: PENDING_NOT_MARKED.*stack location 2");
}

TEST_F(VerifierDeathTest, UninitializedOrCopiedEvent) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KEVENT event{};
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      },
      "STOP: INVALID_EVENT.*KeSetEvent.*not an initialized event");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        KEVENT original;
        KeInitializeEvent(&original, NotificationEvent, TRUE);
        KEVENT copy = original;
        KeWaitForSingleObject(&copy, Executive, KernelMode, FALSE, nullptr);
      },
      "STOP: INVALID_EVENT.*KeWaitForSingleObject");
}

TEST_F(VerifierDeathTest, PoolMisuse) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
        ExFreePool(block);
        ExFreePool(block);
      },
      "STOP: BAD_POOL_CALLER.*ExFreePool.*not an allocated pool block");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
        ExFreePoolWithTag(block, kLeakTag);
      },
      "STOP: BAD_POOL_CALLER.*carries tag 'Test', the caller named 'Leak'");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
        block[16] = 0;
        ExFreePool(block);
      },
      "STOP: DRIVER_CORRUPTED_POOL.*the 16-byte block tagged 'Test' .* was written past its end");
}

}  // namespace
