// USBD status values by name, for scenarios that script a failing transfer
// and for reports of the transfers the printer saw.
#pragma once

#include <usb.h>

#include <optional>
#include <string>
#include <string_view>

namespace nrvsim {

// "USBD_STATUS_STALL_PID", "STALL_PID" or a number such as 0xC0000004.
std::optional<USBD_STATUS> parseUsbdStatus(std::string_view text);
// The name when the value has one, else the value in hexadecimal.
std::string usbdStatusName(USBD_STATUS status);

}  // namespace nrvsim
