// The spooler's printers and the ports they print to.
#include <algorithm>

#include "base/bugcheck.h"
#include "base/text.h"
#include "user/process.h"
#include "user/spooler.h"

namespace nrv {

namespace {

bool validPrinterName(const std::string& name) {
  return !name.empty() && name.find_first_of("\\,") == std::string::npos;
}

}  // namespace

// On a spooler thread: the ports are listed afresh, as AddPrinter checks the port against the monitors.
PortMonitor* Spooler::monitorListing(const std::string& port, std::string* listedName) {
  collectPorts(1);
  std::lock_guard<std::mutex> guard(lock_);
  for (Loaded& loaded : loaded_) {
    for (const std::string& name : loaded.ports) {
      if (sameName(name, port)) {
        *listedName = name;
        return loaded.monitor.get();
      }
    }
  }
  return nullptr;
}

SpoolerAnswer Spooler::addPrinter(const std::string& name, const std::string& port,
                                  PrinterTimeouts timeouts) {
  if (!running()) return SpoolerAnswer{FALSE, RPC_S_SERVER_UNAVAILABLE};
  if (!validPrinterName(name)) return SpoolerAnswer{FALSE, ERROR_INVALID_PRINTER_NAME};
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("AddPrinter", [&] {
    std::string listedName;
    PortMonitor* monitor = monitorListing(port, &listedName);
    if (monitor == nullptr) {
      answer = SpoolerAnswer{FALSE, ERROR_UNKNOWN_PORT};
      return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& printer : printers_) {
      if (sameName(printer->name(), name)) {
        answer = SpoolerAnswer{FALSE, ERROR_PRINTER_ALREADY_EXISTS};
        return;
      }
    }
    bool known = std::any_of(spooledPorts_.begin(), spooledPorts_.end(),
                             [&](const auto& spooled) { return sameName(spooled->name, listedName); });
    if (!known) {
      auto spooled = std::make_unique<SpooledPort>();
      spooled->name = listedName;
      spooled->monitor = monitor;
      spooledPorts_.push_back(std::move(spooled));
    }
    printers_.push_back(std::make_shared<PrinterQueue>(name, listedName, timeouts));
    answer = SpoolerAnswer{TRUE, NO_ERROR};
  });
  return answer;
}

std::shared_ptr<PrinterQueue> Spooler::printer(const std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& printer : printers_) {
    if (sameName(printer->name(), name)) return printer;
  }
  return nullptr;
}

// Callers hold lock_.
Spooler::SpooledPort* Spooler::spooledPort(const std::string& name) {
  for (const auto& spooled : spooledPorts_) {
    if (sameName(spooled->name, name)) return spooled.get();
  }
  return nullptr;
}

// Under lock_.
bool Spooler::printerOnPort(const std::string& port) {
  return std::any_of(printers_.begin(), printers_.end(), [&](const std::shared_ptr<PrinterQueue>& printer) {
    return sameName(printer->port(), port);
  });
}

// On a spooler thread. A thread that finds another opening the port waits for
// it, so that the monitor is asked once. A monitor that fails without an error
// says the port is unknown.
bool Spooler::openSpooledPort(SpooledPort& port, DWORD* error, PrintJob* opener) {
  {
    std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
    scheduler_.block(
        held, [&port] { return !port.opening; }, Scheduler::kNoDeadline,
        [&port] { return "the spooler's OpenPort of " + port.name; });
    if (port.opened) return true;
    port.opening = true;
  }
  HANDLE handle = nullptr;
  *error = NO_ERROR;
  bool opened = port.monitor->openPort(port.name, &handle, error);
  if (!opened && *error == NO_ERROR) *error = ERROR_UNKNOWN_PORT;
  if (opener != nullptr) {
    opener->record(callEvent(now(), JobEventKind::OpenPort, opened, *error));
  }
  std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
  port.opening = false;
  port.opened = opened;
  port.handle = opened ? handle : nullptr;
  scheduler_.stateChanged();
  return opened;
}

SpoolerAnswer Spooler::printerDataFromPort(const std::string& printerName, DWORD control,
                                           const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
                                           DWORD* returned) {
  if (!running()) return SpoolerAnswer{FALSE, RPC_S_SERVER_UNAVAILABLE};
  std::shared_ptr<PrinterQueue> queue = printer(printerName);
  if (queue == nullptr) return SpoolerAnswer{FALSE, ERROR_INVALID_PRINTER_NAME};
  SpooledPort* port = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    port = spooledPort(queue->port());
  }
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("GetPrinterDataFromPort", [&] {
    DWORD error = NO_ERROR;
    if (!openSpooledPort(*port, &error, nullptr)) {
      answer = SpoolerAnswer{FALSE, error};
      return;
    }
    HANDLE handle = nullptr;
    {
      std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
      handle = port->handle;
    }
    bool result = port->monitor->getPrinterDataFromPort(handle, control, input, output, returned, &error);
    answer = SpoolerAnswer{result ? TRUE : FALSE, result ? static_cast<DWORD>(NO_ERROR) : error};
  });
  return answer;
}

}  // namespace nrv
