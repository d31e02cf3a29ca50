// The spooler's printers and the ports they print to.
#include <algorithm>
#include <cstring>

#include "base/bugcheck.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/printer_queue_registry.h"
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
  for (const LoadedRef& loaded : loaded_) {
    for (const std::string& name : loaded->ports) {
      if (sameName(name, port)) {
        *listedName = name;
        return loaded->monitor.get();
      }
    }
  }
  return nullptr;
}

// On the spooler's thread as it starts, once the monitors have listed their
// ports. A printer whose port no monitor lists now is kept: its port is
// looked for again when a job needs it.
void Spooler::loadPrinters() {
  SystemLocale& locale = process_->services().locale;
  std::lock_guard<std::mutex> guard(lock_);
  for (const StoredPrinter& stored : storedPrinters(registry_)) {
    std::string name = locale.toAnsi(stored.name);
    std::string port = locale.toAnsi(stored.port);
    PortMonitor* monitor = nullptr;
    for (const LoadedRef& loaded : loaded_) {
      for (const std::string& listed : loaded->ports) {
        if (sameName(listed, port)) {
          port = listed;
          monitor = loaded->monitor.get();
        }
      }
    }
    if (spooledPort(port) == nullptr) {
      auto spooled = std::make_unique<SpooledPort>();
      spooled->name = port;
      spooled->monitor = monitor;
      spooledPorts_.push_back(std::move(spooled));
    }
    printers_.push_back(std::make_shared<PrinterQueue>(name, port, stored.timeouts));
  }
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
    SpooledPort* known = spooledPort(listedName);
    if (known == nullptr) {
      auto spooled = std::make_unique<SpooledPort>();
      spooled->name = listedName;
      spooled->monitor = monitor;
      spooledPorts_.push_back(std::move(spooled));
    } else if (known->monitor == nullptr) {
      known->monitor = monitor;
    }
    printers_.push_back(std::make_shared<PrinterQueue>(name, listedName, timeouts));
    SystemLocale& locale = process_->services().locale;
    storePrinter(registry_, StoredPrinter{locale.fromAnsi(name), locale.fromAnsi(listedName), timeouts});
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

std::vector<std::shared_ptr<PrinterQueue>> Spooler::printers() {
  std::lock_guard<std::mutex> guard(lock_);
  return printers_;
}

SpoolerAnswer Spooler::enumPrinters(LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned) {
  std::lock_guard<std::mutex> guard(lock_);
  DWORD total = 0;
  for (const auto& printer : printers_) total += printer->info5Size();
  *needed = total;
  if (total > size) {
    *returned = 0;
    return SpoolerAnswer{FALSE, ERROR_INSUFFICIENT_BUFFER};
  }
  auto* records = reinterpret_cast<PRINTER_INFO_5A*>(buffer);
  LPBYTE stringsEnd = buffer + size;
  for (size_t index = 0; index < printers_.size(); index++)
    stringsEnd = printers_[index]->writeInfo5(&records[index], stringsEnd);
  *returned = static_cast<DWORD>(printers_.size());
  return SpoolerAnswer{TRUE, NO_ERROR};
}

SpoolerAnswer Spooler::deletePrinter(const std::shared_ptr<PrinterQueue>& printer) {
  if (DWORD failure = printer->scriptedDeletionFailure(); failure != NO_ERROR)
    return SpoolerAnswer{FALSE, failure};
  std::lock_guard<std::mutex> guard(lock_);
  if (std::find(printers_.begin(), printers_.end(), printer) == printers_.end())
    return SpoolerAnswer{FALSE, ERROR_PRINTER_DELETED};
  if (!printer->pendingDeletion()) {
    printer->markPendingDeletion();
    forgetPrinter(registry_, process_->services().locale.fromAnsi(printer->name()));
  }
  retireIfIdle(printer);
  return SpoolerAnswer{TRUE, NO_ERROR};
}

// Under lock_. A job in error still has its document open on the port: the
// printer waits for its retry or cancel.
void Spooler::retireIfIdle(const std::shared_ptr<PrinterQueue>& printer) {
  if (!printer->pendingDeletion()) return;
  bool busy = std::any_of(jobs_.begin(), jobs_.end(), [&](const std::unique_ptr<JobEntry>& entry) {
    return entry->printer == printer && entry->phase != JobPhase::Ended;
  });
  if (!busy) std::erase(printers_, printer);
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
  // A printer kept from an earlier start may print to a port its monitor lists only now.
  PortMonitor* monitor = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    monitor = port.monitor;
  }
  if (monitor == nullptr) {
    std::string listedName;
    monitor = monitorListing(port.name, &listedName);
    std::lock_guard<std::mutex> guard(lock_);
    port.monitor = monitor;
  }
  HANDLE handle = nullptr;
  *error = NO_ERROR;
  bool opened = monitor != nullptr && monitor->openPort(port.name, &handle, error);
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
