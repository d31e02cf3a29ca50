// The request count and its two events, which query-remove and remove wait for.
#include <atomic>
#include <thread>

#include "printer_fdo.h"

namespace {

using IoCountTest = PrinterFdoTest;

TEST_F(IoCountTest, TheEventsMarkTheBaselineAndZeroAndStaySet) {
  ASSERT_EQ(extension->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&extension->IoCountOneEvent), 0);

  PLMUSB_IncrementIoCount(fdo);
  EXPECT_EQ(PLMUSB_DecrementIoCount(fdo), 1);
  EXPECT_NE(KeReadStateEvent(&extension->IoCountOneEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&extension->IoCountZeroEvent), 0);

  // Rising again does not reset the event: a later wait returns at once.
  PLMUSB_IncrementIoCount(fdo);
  EXPECT_NE(KeReadStateEvent(&extension->IoCountOneEvent), 0);
  EXPECT_EQ(PLMUSB_DecrementIoCount(fdo), 1);

  EXPECT_EQ(PLMUSB_DecrementIoCount(fdo), 0);
  EXPECT_NE(KeReadStateEvent(&extension->IoCountZeroEvent), 0);
  PLMUSB_IncrementIoCount(fdo);
  EXPECT_NE(KeReadStateEvent(&extension->IoCountZeroEvent), 0);
}

// Requests counted from several threads: the count is exact and the spin lock
// is never held across anything that could block.
TEST_F(IoCountTest, CountsFromManyThreadsBalance) {
  for (int thread = 0; thread < 4; thread++) {
    machine.startThread("counter", [this] {
      for (int round = 0; round < 2000; round++) {
        PLMUSB_IncrementIoCount(fdo);
        PLMUSB_DecrementIoCount(fdo);
      }
    });
  }
  machine.joinThreads();
  EXPECT_EQ(extension->IoCount, 1);
  EXPECT_EQ(KeReadStateEvent(&extension->IoCountZeroEvent), 0);
}

// The count reaches the baseline and its event is set in one step under the
// lock: remove, which brings the count to 0 under that lock and then frees the
// extension, can never overtake the signal of a request ending beside it.
TEST_F(IoCountTest, NoOneSeesTheBaselineBeforeItsEventIsSet) {
  std::atomic<int> go{0};
  std::atomic<int> done{0};
  constexpr int kRounds = 20000;
  machine.startThread("request", [&] {
    for (int round = 1; round <= kRounds; round++) {
      while (go.load() != round) std::this_thread::yield();
      PLMUSB_DecrementIoCount(fdo);
      done.store(round);
    }
  });
  int early = 0;
  for (int round = 1; round <= kRounds; round++) {
    PLMUSB_IncrementIoCount(fdo);
    KeClearEvent(&extension->IoCountOneEvent);
    go.store(round);
    bool finished;
    unsigned looks = 0;
    do {
      finished = done.load() == round;
      KIRQL irql;
      KeAcquireSpinLock(&extension->IoCountLock, &irql);
      if (extension->IoCount == 1 && KeReadStateEvent(&extension->IoCountOneEvent) == 0) early++;
      KeReleaseSpinLock(&extension->IoCountLock, irql);
      // Looks closely at first, then lets the request run on a busy machine.
      if (++looks > 256) std::this_thread::yield();
    } while (!finished);
  }
  machine.joinThreads();
  EXPECT_EQ(early, 0);
  EXPECT_EQ(extension->IoCount, 1);
}

// Remove waits for the last request: a request finishing on another thread
// releases it, in virtual time, without the clock jumping.
TEST_F(IoCountTest, AWaitForZeroEndsWhenTheLastRequestEnds) {
  PLMUSB_IncrementIoCount(fdo);
  machine.startThread("request", [this] {
    machine.sleep(250);
    PLMUSB_DecrementIoCount(fdo);
  });
  EXPECT_EQ(PLMUSB_DecrementIoCount(fdo), 1);
  EXPECT_EQ(KeWaitForSingleObject(&extension->IoCountZeroEvent, Suspended, KernelMode, FALSE, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(machine.scheduler().nowMilliseconds(), 250u);
  machine.joinThreads();
  PLMUSB_IncrementIoCount(fdo);
}

}  // namespace
