// Stepping through the descriptors of a configuration as the host receives
// them. Devices do send broken ones, so the walk never reads past wTotalLength
// and ends at the first descriptor whose length makes no sense.
#pragma once

#include <usb.h>

#include <cstddef>

namespace nrv {

class DescriptorWalk {
 public:
  // Walks from start, which must lie inside the configuration's wTotalLength;
  // a start outside it, or a wTotalLength too short for the header, walks nothing.
  DescriptorWalk(const USB_CONFIGURATION_DESCRIPTOR* configuration, const void* start);

  // The next whole descriptor (bLength first, then bDescriptorType), or null at
  // the end and at a descriptor that is shorter than 2 bytes or runs past the end.
  const UCHAR* next();
  // True when the walk stopped at a broken descriptor rather than at the end.
  bool broken() const { return broken_; }
  // Where the walk stands: the descriptor next() returns next.
  const UCHAR* position() const { return position_; }

 private:
  const UCHAR* position_ = nullptr;
  const UCHAR* end_ = nullptr;
  bool broken_ = false;
};

// The interface descriptor with this number and alternate setting, and the
// endpoint descriptors that follow it, from a configuration the host holds.
struct FoundInterface {
  static constexpr size_t kMaxEndpoints = 30;  // 15 IN and 15 OUT besides endpoint 0
  const USB_INTERFACE_DESCRIPTOR* interface = nullptr;
  const USB_ENDPOINT_DESCRIPTOR* endpoints[kMaxEndpoints] = {};
  size_t endpointCount = 0;
};

// False when there is no such interface, or the configuration breaks off,
// carries fewer endpoint descriptors than the interface announces or announces
// more than an interface can have.
bool findInterface(const USB_CONFIGURATION_DESCRIPTOR* configuration, UCHAR number, UCHAR alternateSetting,
                   FoundInterface& found);

// Bytes of a USBD_INTERFACE_INFORMATION record with room for this many pipes.
size_t interfaceRecordSize(size_t pipes);

}  // namespace nrv
