// A device's input buffer for bulk OUT data: the link offers a transfer's
// bytes at its rate, the buffer takes them while it has room and NAKs them
// while it is full, and the device drains it at its own rate while it may.
// Everything moves on the machine's clock, worked out in closed form from one
// moment to the next, so a long print costs a few steps per transfer rather
// than one per packet.
//
// Amounts are kept in bytes times ten thousand and rates in bytes per
// millisecond, which is that amount per 100 ns unit: the arithmetic is exact.
#pragma once

#include <cstdint>

namespace nrv {

class InputBuffer {
 public:
  static constexpr uint64_t kUnlimited = UINT64_MAX;
  static constexpr uint64_t kNever = UINT64_MAX;

  // An unlimited buffer takes every byte at the link's rate.
  explicit InputBuffer(uint64_t capacityBytes = kUnlimited, uint64_t drainBytesPerMillisecond = 0);

  // Draining stops and starts at the given time (paper out, offline, back).
  void setDraining(uint64_t now, bool draining);
  bool draining() const { return draining_; }

  // The link starts offering bytes at the given rate; one offer at a time.
  void offer(uint64_t now, uint64_t bytes, uint64_t linkBytesPerMillisecond);
  bool offering() const { return offering_; }
  // When the whole offer will have been taken at the present draining, or kNever.
  uint64_t offerTakenAt(uint64_t now);
  // Ends the offer (taken whole, or its transfer went away); returns the bytes taken.
  uint64_t withdraw(uint64_t now);

  // Bytes taken and not yet drained.
  uint64_t levelBytes(uint64_t now);

 private:
  void advance(uint64_t to);
  // One stretch of time in which the rates stay the same; returns the time used.
  uint64_t step(uint64_t span);
  uint64_t drainRate() const { return draining_ ? drainRate_ : 0; }
  // While the link is faster than the drain and the buffer not full: the time
  // until the offer is taken or the buffer fills, and what it takes in a span of it.
  uint64_t fillingSpan() const;
  uint64_t takenIn(uint64_t span) const;

  uint64_t capacity_;   // scaled; kUnlimited for none
  uint64_t drainRate_;  // bytes per millisecond
  bool draining_ = true;
  uint64_t level_ = 0;  // scaled
  uint64_t time_ = 0;   // the moment level_ and the offer describe

  bool offering_ = false;
  uint64_t linkRate_ = 0;  // bytes per millisecond
  uint64_t offered_ = 0;   // scaled, not yet taken
  uint64_t taken_ = 0;     // scaled
};

}  // namespace nrv
