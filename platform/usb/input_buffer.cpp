#include "usb/input_buffer.h"

#include <algorithm>

#include "base/bugcheck.h"

namespace nrv {

namespace {

// A byte in the buffer's scaled amounts: rates in bytes per millisecond then
// move exactly that many scaled bytes per 100 ns unit of the clock.
constexpr uint64_t kScale = 10000;

uint64_t product(uint64_t a, uint64_t b) {
  uint64_t result;
  return __builtin_mul_overflow(a, b, &result) ? UINT64_MAX : result;
}

uint64_t ceilingQuotient(uint64_t amount, uint64_t rate) {
  return amount / rate + (amount % rate != 0 ? 1 : 0);
}

uint64_t later(uint64_t now, uint64_t span) {
  return span == InputBuffer::kNever ? InputBuffer::kNever : now + span;
}

}  // namespace

InputBuffer::InputBuffer(uint64_t capacityBytes, uint64_t drainBytesPerMillisecond)
    : capacity_(capacityBytes == kUnlimited ? kUnlimited : product(capacityBytes, kScale)),
      drainRate_(drainBytesPerMillisecond) {}

void InputBuffer::setDraining(uint64_t now, bool draining) {
  advance(now);
  draining_ = draining;
}

void InputBuffer::offer(uint64_t now, uint64_t bytes, uint64_t linkBytesPerMillisecond) {
  if (offering_)
    bugCheck("USB_BUS_INTERNAL", "a device's input buffer was offered a second transfer at once");
  if (linkBytesPerMillisecond == 0) bugCheck("USB_BUS_INTERNAL", "a link offered bytes at no rate");
  advance(now);
  offering_ = true;
  linkRate_ = linkBytesPerMillisecond;
  offered_ = product(bytes, kScale);
  taken_ = 0;
}

uint64_t InputBuffer::withdraw(uint64_t now) {
  advance(now);
  offering_ = false;
  offered_ = 0;
  return taken_ / kScale;
}

uint64_t InputBuffer::levelBytes(uint64_t now) {
  advance(now);
  return level_ / kScale;
}

// The offer goes in three ways: at the link's rate while the buffer has room
// (or the device prints faster than the link), at the drain's rate while the
// buffer is full, not at all while it is full and does not drain.
uint64_t InputBuffer::offerTakenAt(uint64_t now) {
  advance(now);
  if (offered_ == 0) return now;
  uint64_t drain = drainRate();
  uint64_t atLinkRate = ceilingQuotient(offered_, linkRate_);
  if (capacity_ == kUnlimited || linkRate_ <= drain) return now + atLinkRate;
  uint64_t filling = fillingSpan();
  uint64_t takenWhileFilling = takenIn(filling);
  if (takenWhileFilling == offered_) return now + filling;
  // The buffer is full now.
  if (drain == 0) return kNever;
  return later(now + filling, ceilingQuotient(offered_ - takenWhileFilling, drain));
}

uint64_t InputBuffer::fillingSpan() const {
  uint64_t untilFull = ceilingQuotient(capacity_ - level_, linkRate_ - drainRate());
  return std::min(ceilingQuotient(offered_, linkRate_), untilFull);
}

uint64_t InputBuffer::takenIn(uint64_t filling) const {
  return std::min(
      {offered_, product(linkRate_, filling), capacity_ - level_ + product(drainRate(), filling)});
}

void InputBuffer::advance(uint64_t to) {
  if (to <= time_) return;
  uint64_t span = to - time_;
  time_ = to;
  while (span > 0) span -= step(span);
}

uint64_t InputBuffer::step(uint64_t span) {
  uint64_t drain = drainRate();
  if (offered_ == 0) {
    level_ -= std::min(level_, product(drain, span));
    return span;
  }
  if (capacity_ == kUnlimited) {
    uint64_t in = std::min(offered_, product(linkRate_, span));
    offered_ -= in;
    taken_ += in;
    return span;
  }
  uint64_t used;
  uint64_t in;
  if (linkRate_ <= drain) {
    // The buffer empties, or stays empty, while the link feeds it.
    used = std::min(span, ceilingQuotient(offered_, linkRate_));
    in = std::min(offered_, product(linkRate_, used));
  } else if (level_ < capacity_) {
    used = std::min(span, fillingSpan());
    in = takenIn(used);
  } else if (drain == 0) {
    // Full and not draining: every packet is NAKed.
    return span;
  } else {
    // Full: a packet goes in as soon as printing frees room for it.
    used = std::min(span, ceilingQuotient(offered_, drain));
    in = std::min(offered_, product(drain, used));
  }
  uint64_t out = std::min(level_ + in, product(drain, used));
  level_ = level_ + in - out;
  offered_ -= in;
  taken_ += in;
  return used;
}

}  // namespace nrv
