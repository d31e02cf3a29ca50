// The printer queues as the spooler keeps them in the registry, one key per
// queue under System\CurrentControlSet\Control\Print\Printers, so that they
// outlive the spooler: the queue's Name, its Port, its Attributes and its two
// timeouts (dnsTimeout, txTimeout) in milliseconds. Names are the registry's
// UTF-16; callers convert from the ANSI code page.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "user/printer_queue.h"

namespace nrv {

class Registry;

struct StoredPrinter {
  std::u16string name;
  std::u16string port;
  PrinterTimeouts timeouts;
};

constexpr const char* kPrintersKey = "System\\CurrentControlSet\\Control\\Print\\Printers";

void storePrinter(Registry& registry, const StoredPrinter& printer);
void forgetPrinter(Registry& registry, const std::u16string& name);
bool printerStored(const Registry& registry, const std::u16string& name);
// Every stored queue with a port, in the registry's order; a key without a
// Port value is no queue the spooler can use and is left out.
std::vector<StoredPrinter> storedPrinters(const Registry& registry);

}  // namespace nrv
