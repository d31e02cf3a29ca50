// Waits on the virtual clock: time-outs cost no real time and end exactly at
// their deadline; events wake waiters by their type.
#include <gtest/gtest.h>

#include <atomic>

#include "machine/machine.h"

namespace {

LARGE_INTEGER relativeMs(LONGLONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -milliseconds * 10000;
  return timeout;
}

NTSTATUS waitMs(KEVENT& event, LONGLONG milliseconds) {
  LARGE_INTEGER timeout = relativeMs(milliseconds);
  return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

class Wait : public ::testing::Test {
 protected:
  void SetUp() override { KeInitializeEvent(&event, NotificationEvent, FALSE); }
  uint64_t now() { return machine.scheduler().nowMilliseconds(); }

  nrv::Machine machine;
  KEVENT event;
};

TEST_F(Wait, TimeOutsEndExactlyAtTheirDeadline) {
  uint64_t start = now();
  EXPECT_EQ(waitMs(event, 48000), STATUS_TIMEOUT);
  EXPECT_EQ(now() - start, 48000u);

  // An absolute deadline is a system time.
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += 2000 * 10000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(now() - start, 50000u);

  LARGE_INTEGER interval = relativeMs(1500);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(now() - start, 51500u);
}

TEST_F(Wait, EventSetBeforeTheDeadlineEndsTheWaitThen) {
  uint64_t start = now();
  machine.startThread("setter", [this] {
    machine.sleep(5000);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(waitMs(event, 48000), STATUS_SUCCESS);
  EXPECT_EQ(now() - start, 5000u);
  machine.joinThreads();
}

TEST_F(Wait, PollNeverBlocksAndIsAllowedAtDispatchLevel) {
  LARGE_INTEGER zero{};
  uint64_t start = now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseSpinLock(&lock, irql);
  EXPECT_EQ(now(), start);
}

TEST_F(Wait, SatisfiedWaitResetsOnlyASynchronizationEvent) {
  KEVENT synchronization;
  KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);

  EXPECT_EQ(waitMs(synchronization, 10), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
  EXPECT_EQ(waitMs(synchronization, 10), STATUS_TIMEOUT);

  EXPECT_EQ(waitMs(event, 10), STATUS_SUCCESS);
  EXPECT_EQ(waitMs(event, 10), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// Two threads wait; one set wakes one of them for a synchronization event, both
// for a notification event.
TEST_F(Wait, OneSetReleasesOneSynchronizationWaiterOrEveryNotificationWaiter) {
  for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> released{0}, timedOut{0};
    for (const char* name : {"first", "second"}) {
      machine.startThread(name, [&] { (waitMs(event, 1000) == STATUS_SUCCESS ? released : timedOut)++; });
    }
    // The clock moves only once both threads wait.
    machine.sleep(10);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    machine.joinThreads();
    EXPECT_EQ(released, type == SynchronizationEvent ? 1 : 2);
    EXPECT_EQ(timedOut, type == SynchronizationEvent ? 1 : 0);
  }
}

}  // namespace
