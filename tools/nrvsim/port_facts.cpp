#include "port_facts.h"

#include <algorithm>
#include <cctype>

#include "base/text.h"
#include "printer_facts.h"

namespace nrvsim {

bool samePortName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

const NamedPrinter* printerOnPort(nrv::Machine& machine, const std::deque<NamedPrinter>& printers,
                                  const std::string& port) {
  auto found = std::find_if(printers.begin(), printers.end(), [&](const NamedPrinter& printer) {
    if (printer.usb == nullptr || !printer.usb->connected()) return false;
    // A device key keeps the name its driver gave it once; only a running printer still carries it.
    const nrv::DeviceNode* node = machine.pnp().find(printer.usb->pdo());
    if (node == nullptr || node->state != nrv::DeviceNodeState::Started) return false;
    std::optional<std::string> portName = deviceKeyText(machine, *printer.usb, u"PortName");
    return portName && samePortName(*portName, port);
  });
  return found != printers.end() ? &*found : nullptr;
}

std::vector<PortFacts> describePorts(nrv::Machine& machine, const std::deque<NamedPrinter>& printers) {
  // The spooler hands out text in the ANSI code page of the moment.
  auto utf8 = [&](const std::string& ansi) { return nrv::toUtf8(machine.locale().fromAnsi(ansi)); };
  std::vector<PortFacts> ports;
  for (const nrv::PortRecord& record : machine.spooler().ports()) {
    PortFacts port;
    port.name = utf8(record.name);
    port.monitor = utf8(record.monitor.value_or(""));
    if (record.description) port.description = utf8(*record.description);
    if (port.monitor == kMonitorName) port.connected = printerOnPort(machine, printers, port.name) != nullptr;
    ports.push_back(std::move(port));
  }
  return ports;
}

MonitorStarted describeMonitor(nrv::Machine& machine, const std::string& modulePath,
                               const std::deque<NamedPrinter>& printers) {
  MonitorStarted started;
  started.name = kMonitorName;
  started.file = kMonitorFile;
  nrv::UserModule* module = machine.spooler().monitorModule(kMonitorName);
  started.modulePath = module != nullptr ? module->path : modulePath;
  for (const nrv::MonitorState& state : machine.spooler().monitors()) {
    if (state.name == kMonitorName) started.failure = state.failure;
  }
  if (!started.failure.empty()) return started;
  for (PortFacts& port : describePorts(machine, printers)) {
    if (port.monitor == kMonitorName) started.ports.push_back(std::move(port));
  }
  return started;
}

}  // namespace nrvsim
