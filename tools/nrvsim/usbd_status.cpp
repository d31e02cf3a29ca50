#include "usbd_status.h"

#include <cstdio>
#include <cstdlib>

namespace nrvsim {

namespace {

struct NamedStatus {
  USBD_STATUS status;
  const char* name;
};

const NamedStatus kStatuses[] = {
    {USBD_STATUS_SUCCESS, "USBD_STATUS_SUCCESS"},
    {USBD_STATUS_PENDING, "USBD_STATUS_PENDING"},
    {USBD_STATUS_ERROR, "USBD_STATUS_ERROR"},
    {USBD_STATUS_CRC, "USBD_STATUS_CRC"},
    {USBD_STATUS_STALL_PID, "USBD_STATUS_STALL_PID"},
    {USBD_STATUS_DEV_NOT_RESPONDING, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {USBD_STATUS_ENDPOINT_HALTED, "USBD_STATUS_ENDPOINT_HALTED"},
    {USBD_STATUS_INVALID_URB_FUNCTION, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {USBD_STATUS_INVALID_PARAMETER, "USBD_STATUS_INVALID_PARAMETER"},
    {USBD_STATUS_REQUEST_FAILED, "USBD_STATUS_REQUEST_FAILED"},
    {USBD_STATUS_INVALID_PIPE_HANDLE, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {USBD_STATUS_NO_BANDWIDTH, "USBD_STATUS_NO_BANDWIDTH"},
    {USBD_STATUS_BUFFER_TOO_SMALL, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {USBD_STATUS_CANCELED, "USBD_STATUS_CANCELED"},
    {USBD_STATUS_DEVICE_GONE, "USBD_STATUS_DEVICE_GONE"},
};

constexpr std::string_view kPrefix = "USBD_STATUS_";

}  // namespace

std::optional<USBD_STATUS> parseUsbdStatus(std::string_view text) {
  for (const NamedStatus& named : kStatuses) {
    std::string_view name = named.name;
    if (text == name || text == name.substr(kPrefix.size())) return named.status;
  }
  std::string number(text);
  char* end = nullptr;
  unsigned long value = std::strtoul(number.c_str(), &end, 0);
  if (number.empty() || *end != '\0' || value > 0xFFFFFFFFul) return std::nullopt;
  return static_cast<USBD_STATUS>(value);
}

std::string usbdStatusName(USBD_STATUS status) {
  for (const NamedStatus& named : kStatuses) {
    if (named.status == status) return named.name;
  }
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
  return hex;
}

}  // namespace nrvsim
