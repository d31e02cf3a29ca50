#include "usb/descriptor_walk.h"

namespace nrv {

DescriptorWalk::DescriptorWalk(const USB_CONFIGURATION_DESCRIPTOR* configuration, const void* start) {
  if (configuration == nullptr || start == nullptr) return;
  USHORT total = configuration->wTotalLength;
  if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
  auto* first = reinterpret_cast<const UCHAR*>(configuration);
  auto* from = static_cast<const UCHAR*>(start);
  if (from < first || from >= first + total) return;
  position_ = from;
  end_ = first + total;
}

const UCHAR* DescriptorWalk::next() {
  if (position_ == nullptr || broken_ || position_ >= end_) return nullptr;
  size_t left = static_cast<size_t>(end_ - position_);
  if (left < 2 || position_[0] < 2 || position_[0] > left) {
    broken_ = true;
    return nullptr;
  }
  const UCHAR* descriptor = position_;
  position_ += descriptor[0];
  return descriptor;
}

bool findInterface(const USB_CONFIGURATION_DESCRIPTOR* configuration, UCHAR number, UCHAR alternateSetting,
                   FoundInterface& found) {
  found = FoundInterface{};
  DescriptorWalk walk(configuration, configuration);
  const UCHAR* descriptor;
  while ((descriptor = walk.next()) != nullptr) {
    if (descriptor[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    if (descriptor[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
    auto* interface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(descriptor);
    if (interface->bInterfaceNumber == number && interface->bAlternateSetting == alternateSetting) {
      found.interface = interface;
      break;
    }
  }
  if (found.interface == nullptr || found.interface->bNumEndpoints > FoundInterface::kMaxEndpoints)
    return false;
  // Class-specific descriptors may sit between the endpoints; the next
  // interface descriptor ends this one.
  while (found.endpointCount < found.interface->bNumEndpoints && (descriptor = walk.next()) != nullptr) {
    if (descriptor[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (descriptor[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
    if (descriptor[0] < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
    found.endpoints[found.endpointCount++] = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(descriptor);
  }
  return found.endpointCount == found.interface->bNumEndpoints;
}

size_t interfaceRecordSize(size_t pipes) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace nrv
