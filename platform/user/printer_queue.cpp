#include "user/printer_queue.h"

#include <cstring>

namespace nrv {

DWORD PrinterQueue::info5Size() const {
  return static_cast<DWORD>(sizeof(PRINTER_INFO_5A) + name_.size() + 1 + port_.size() + 1);
}

void PrinterQueue::writeInfo5(LPBYTE buffer) const {
  auto* info = reinterpret_cast<PRINTER_INFO_5A*>(buffer);
  LPSTR text = reinterpret_cast<LPSTR>(buffer + sizeof(PRINTER_INFO_5A));
  std::memcpy(text, name_.c_str(), name_.size() + 1);
  info->pPrinterName = text;
  text += name_.size() + 1;
  std::memcpy(text, port_.c_str(), port_.size() + 1);
  info->pPortName = text;
  info->Attributes = PRINTER_ATTRIBUTE_LOCAL;
  PrinterTimeouts now = timeouts();
  info->DeviceNotSelectedTimeout = now.notSelected;
  info->TransmissionRetryTimeout = now.retry;
}

}  // namespace nrv
