// How fast a USB link moves bulk data. The host controller sends a device's
// bulk packets in (micro)frames: at full speed at most 19 packets of 64 bytes
// in each 1 ms frame, at high speed at most 13 packets of 512 bytes in each
// 125 us microframe. Rates here are in bytes per millisecond, which is also
// "bytes times ten thousand per 100 ns unit" of the machine's clock: the
// buffer arithmetic stays in whole numbers.
#pragma once

#include <cstdint>

namespace nrv {

enum class UsbSpeed { Full, High };

struct UsbLinkTiming {
  uint64_t frameUnits;         // length of a (micro)frame in the clock's 100 ns units
  uint64_t packetsPerFrame;    // bulk packets a frame carries at most
  uint64_t bulkMaxPacketSize;  // the wMaxPacketSize bulk endpoints have at this speed
};

constexpr UsbLinkTiming linkTiming(UsbSpeed speed) {
  return speed == UsbSpeed::High ? UsbLinkTiming{1250, 13, 512} : UsbLinkTiming{10000, 19, 64};
}

// The bytes a pipe with packets of this size moves in a millisecond.
constexpr uint64_t linkBytesPerMillisecond(UsbSpeed speed, uint64_t maxPacketSize) {
  UsbLinkTiming timing = linkTiming(speed);
  return timing.packetsPerFrame * maxPacketSize * 10000 / timing.frameUnits;
}

// A transfer ends with the frame that carried its last packet: the time since
// it began, rounded up to whole frames.
constexpr uint64_t roundUpToFrames(UsbSpeed speed, uint64_t units) {
  uint64_t frame = linkTiming(speed).frameUnits;
  return (units + frame - 1) / frame * frame;
}

}  // namespace nrv
