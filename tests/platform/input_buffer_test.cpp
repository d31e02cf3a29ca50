// A device's input buffer on its own: how fast an offer is taken while the
// buffer has room, while it is full, and while it does not drain, and that
// the time it promises for an offer is the time the offer really ends.
#include "usb/input_buffer.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using nrv::InputBuffer;
constexpr uint64_t kMs = 10000;

TEST(InputBuffer, AnUnlimitedBufferTakesEveryByteAtTheLinksRate) {
  InputBuffer buffer;
  buffer.offer(0, 65536, 1216);
  EXPECT_EQ(buffer.offerTakenAt(0), 538948u);  // 65536 / 1216 bytes a millisecond, rounded up
  EXPECT_EQ(buffer.withdraw(538947), 65535u);
  buffer.offer(600000, 10, 1216);
  EXPECT_EQ(buffer.withdraw(700000), 10u);
  EXPECT_EQ(buffer.levelBytes(700000), 0u);
}

TEST(InputBuffer, AFullBufferTakesBytesOnlyAsFastAsItDrains) {
  InputBuffer buffer(4096, 64);
  buffer.offer(0, 8192, 1216);
  // Once full it holds 4096 bytes and has printed 64 a millisecond: the rest
  // goes in as room is made, 4096 / 64 ms after the start.
  EXPECT_EQ(buffer.offerTakenAt(0), 64 * kMs);
  EXPECT_EQ(buffer.levelBytes(10 * kMs), 4096u);
  EXPECT_EQ(buffer.withdraw(64 * kMs), 8192u);
  EXPECT_EQ(buffer.levelBytes(64 * kMs), 4096u);
  EXPECT_EQ(buffer.levelBytes(100 * kMs), 4096u - 36 * 64);
  EXPECT_EQ(buffer.levelBytes(200 * kMs), 0u);
}

TEST(InputBuffer, WithoutDrainingItTakesWhatFitsAndThenNothingUntilItDrainsAgain) {
  InputBuffer buffer(4096, 64);
  buffer.setDraining(0, false);
  buffer.offer(0, 5000, 1216);
  EXPECT_EQ(buffer.offerTakenAt(0), InputBuffer::kNever);
  EXPECT_EQ(buffer.levelBytes(1000 * kMs), 4096u);
  EXPECT_EQ(buffer.offerTakenAt(1000 * kMs), InputBuffer::kNever);
  buffer.setDraining(1000 * kMs, true);
  // 904 bytes more need 904 / 64 ms of printing.
  EXPECT_EQ(buffer.offerTakenAt(1000 * kMs), 1000 * kMs + 141250);
  EXPECT_EQ(buffer.withdraw(2000 * kMs), 5000u);
}

TEST(InputBuffer, APrinterFasterThanTheLinkNeverFillsAndEmptiesBetweenOffers) {
  InputBuffer buffer(1024, 2000);
  buffer.offer(0, 100000, 1216);
  EXPECT_EQ(buffer.offerTakenAt(0), (100000 * kMs + 1215) / 1216);
  EXPECT_EQ(buffer.levelBytes(50 * kMs), 0u);
  EXPECT_EQ(buffer.withdraw(100 * kMs), 100000u);

  InputBuffer stopped(0, 64);
  stopped.setDraining(0, false);
  stopped.offer(0, 1, 1216);
  EXPECT_EQ(stopped.offerTakenAt(5 * kMs), InputBuffer::kNever);
  EXPECT_EQ(stopped.withdraw(5 * kMs), 0u);
}

// Random buffers, rates, offers and stops: bytes are neither made nor lost,
// the buffer never overflows, and each offer ends exactly when promised.
TEST(InputBuffer, RandomRunsKeepEveryByteAndEveryPromise) {
  std::mt19937_64 random(11);
  for (int run = 0; run < 200; run++) {
    uint64_t capacity = random() % 100000;
    uint64_t drain = random() % 3000;
    InputBuffer buffer(capacity, drain);
    uint64_t now = 0;
    uint64_t taken = 0;
    for (int offer = 0; offer < 20; offer++) {
      uint64_t bytes = random() % 200000;
      uint64_t link = 1 + random() % 60000;
      buffer.offer(now, bytes, link);
      if (random() % 4 == 0) buffer.setDraining(now, !buffer.draining());
      uint64_t promised = buffer.offerTakenAt(now);
      if (promised == InputBuffer::kNever) {
        now += random() % (100 * kMs);
        uint64_t part = buffer.withdraw(now);
        EXPECT_LE(part, bytes);
        EXPECT_LE(part, capacity);
        taken += part;
        buffer.setDraining(now, true);
        continue;
      }
      ASSERT_GE(promised, now);
      if (promised > now) {
        InputBuffer early = buffer;
        EXPECT_LT(early.withdraw(promised - 1), bytes) << "run " << run << " offer " << offer;
      }
      EXPECT_EQ(buffer.withdraw(promised), bytes) << "run " << run << " offer " << offer;
      EXPECT_LE(buffer.levelBytes(promised), capacity);
      taken += bytes;
      now = promised + random() % (10 * kMs);
    }
    EXPECT_LE(buffer.levelBytes(now), taken);
  }
}

}  // namespace
