#include "user/printer_queue.h"

#include <cstring>

namespace nrv {

DWORD PrinterQueue::info5Size() const {
  return static_cast<DWORD>(sizeof(PRINTER_INFO_5A) + name_.size() + 1 + port_.size() + 1);
}

LPBYTE PrinterQueue::writeInfo5(PRINTER_INFO_5A* record, LPBYTE stringsEnd) const {
  LPBYTE port = stringsEnd - (port_.size() + 1);
  std::memcpy(port, port_.c_str(), port_.size() + 1);
  LPBYTE name = port - (name_.size() + 1);
  std::memcpy(name, name_.c_str(), name_.size() + 1);
  record->pPrinterName = reinterpret_cast<LPSTR>(name);
  record->pPortName = reinterpret_cast<LPSTR>(port);
  record->Attributes = PRINTER_ATTRIBUTE_LOCAL;
  PrinterTimeouts now = timeouts();
  record->DeviceNotSelectedTimeout = now.notSelected;
  record->TransmissionRetryTimeout = now.retry;
  return name;
}

}  // namespace nrv
