// The transcript: each step stamped with the machine's virtual time, then its facts.
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "base/bugcheck.h"
#include "base/status_text.h"
#include "base/text.h"
#include "machine_report.h"
#include "package_report.h"
#include "report.h"
#include "spooler_report.h"
#include "terminal_text.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

std::string orNone(const std::optional<std::string>& text) { return text ? quotedBytes(*text) : "<none>"; }

// Identifiers as they are when plain; quoted with escapes when they hold
// anything else, so no byte a device chose reaches the terminal raw.
std::string identifier(const std::string& text) {
  bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char character) {
    return character >= 0x20 && character < 0x7F && character != '"';
  });
  return plain ? text : quotedBytes(text);
}

std::vector<std::string> identifiers(const std::vector<std::string>& texts) {
  std::vector<std::string> shown;
  for (const std::string& text : texts) shown.push_back(identifier(text));
  return shown;
}

std::string joined(const std::vector<std::string>& texts, const char* separator) {
  std::string all;
  for (const std::string& text : texts) all += (all.empty() ? "" : separator) + text;
  return all;
}

const char* protocolText(int protocol) {
  switch (protocol) {
    case kNoPrinterInterface:
      return "no printer interface (a vendor-specific one)";
    case 1:
      return "printer interface protocol 1 (unidirectional)";
    case 2:
      return "printer interface protocol 2 (bidirectional)";
    default:
      return "printer interface protocol 3 (IEEE 1284.4)";
  }
}

// Sizes in order; three or more alike in a row are counted, not repeated.
std::string transferList(const std::vector<TransferRun>& transfers) {
  std::vector<std::string> items;
  for (const TransferRun& run : transfers) {
    std::string item = std::to_string(run.bytes);
    if (run.status != USBD_STATUS_SUCCESS) item += " (" + usbdStatusName(run.status) + ")";
    if (run.count >= 3) {
      items.push_back(item + " (" + std::to_string(run.count) + " times)");
    } else {
      items.insert(items.end(), run.count, item);
    }
  }
  return items.empty() ? "none" : joined(items, ", ");
}

size_t transferCount(const std::vector<TransferRun>& transfers) {
  size_t count = 0;
  for (const TransferRun& run : transfers) count += run.count;
  return count;
}

std::string ownOpenText(const std::optional<NTSTATUS>& ownOpen) {
  return ownOpen ? "on a handle opened for the job (open returned " + nrv::statusText(*ownOpen) + ")"
                 : "on the open handle";
}

class Transcript : public Report {
 public:
  explicit Transcript(FILE* out) : out_(out) {}

  void booted(uint64_t milliseconds, const char* profile) override {
    stamp(milliseconds, "booted %s; verifier on (pool, IRQL, IRP, handle and spin-lock rules)", profile);
  }

  void loaded(uint64_t milliseconds, const std::string& folder, const MachineRestarted& start) override {
    stamp(milliseconds, "loaded the machine from %s and started it from its disk",
          withoutControlBytes(folder).c_str());
    for (const std::string& text : factLines(start)) line("%s", text.c_str());
  }

  void saved(const std::string& folder) override {
    line("saved the machine to %s", withoutControlBytes(folder).c_str());
  }

  void driverLoaded(uint64_t milliseconds, const DriverLoaded& driver) override {
    if (!driver.loadFailure.empty()) {
      stamp(milliseconds, "cannot load NRVUSB from %s: %s", driver.modulePath.c_str(),
            quotedBytes(driver.loadFailure).c_str());
      line("the loader returned %s", nrv::statusText(driver.entryStatus).c_str());
      return;
    }
    stamp(milliseconds, "loaded NRVUSB from %s", driver.modulePath.c_str());
    line("DriverEntry returned %s", nrv::statusText(driver.entryStatus).c_str());
    if (driver.routines.empty()) return;
    line("dispatch table:");
    for (const DispatchEntry& entry : driver.routines) {
      line("  %-32s %s", entry.function.c_str(), entry.routine.c_str());
    }
    line("  the other %d major functions are refused by the I/O manager", driver.refusedMajorFunctions);
    line("installed as the function driver of the USB printers plugged from now on");
  }

  void spoolerStarted(uint64_t milliseconds) override {
    stamp(milliseconds, "started the spooler; the package is not installed yet (the scenario installs it)");
  }

  void monitorStarted(uint64_t milliseconds, const MonitorStarted& monitor) override {
    std::string which = quotedText(monitor.name) + " (" + shownName(monitor.file) + " from " +
                        withoutControlBytes(monitor.modulePath) + ")";
    if (!monitor.failure.empty()) {
      stamp(milliseconds, "the spooler cannot use the port monitor %s: %s", which.c_str(),
            quotedText(monitor.failure).c_str());
      return;
    }
    stamp(milliseconds, "started the spooler with the port monitor %s", which.c_str());
    if (monitor.ports.empty()) {
      line("InitializeMonitorEx found no ports");
      return;
    }
    line("InitializeMonitorEx found %zu port(s):", monitor.ports.size());
    for (const PortFacts& port : monitor.ports) showPort(port);
  }

  void stepStarted(const Step& step) override {
    stamp(step.milliseconds, "> %s", withoutControlBytes(step.text).c_str());
  }

  void stepFinished(const Event& event) override {
    std::visit([this](const auto& facts) { show(facts); }, event);
  }

  void stepFailed(const ScenarioError&, const std::string& message) override {
    line("stopped: %s", withoutControlBytes(message).c_str());
  }

  void shuttingDown(uint64_t milliseconds) override {
    stamp(milliseconds,
          "shutting down: closing handles, removing devices, unloading drivers, checking for leaks");
  }

  void shutdownClean() override { line("shutdown clean: no pool, IRP, handle or device left behind"); }

 private:
  void stamp(uint64_t milliseconds, const char* pattern, ...) __attribute__((format(printf, 3, 4))) {
    std::fprintf(out_, "[%6llu ms] ", static_cast<unsigned long long>(milliseconds));
    va_list args;
    va_start(args, pattern);
    finishLine(pattern, args);
    va_end(args);
  }

  void line(const char* pattern, ...) __attribute__((format(printf, 2, 3))) {
    std::fputs("  ", out_);
    va_list args;
    va_start(args, pattern);
    finishLine(pattern, args);
    va_end(args);
  }

  void finishLine(const char* pattern, va_list args) {
    std::vfprintf(out_, pattern, args);
    std::fputc('\n', out_);
    // A bug check ends the process at once; what was written must be out by then.
    std::fflush(out_);
  }

  void show(const PrinterPlugged& plugged) {
    line("port %u: %s, serial number %s, %s, %s speed", plugged.port,
         identifier(plugged.instancePath).c_str(), orNone(plugged.serialNumber).c_str(),
         protocolText(plugged.protocol), plugged.highSpeed ? "high" : "full");
    line(plugged.rawDeviceId ? "device ID reply, length prefix included, %s" : "device ID %s",
         quotedBytes(plugged.deviceId).c_str());
    if (!plugged.faults.empty()) line("faults: %s", joined(plugged.faults, "; ").c_str());
    if (plugged.waitsForWake) {
      line("the machine sleeps: Plug and Play enumerates the printer when it wakes");
      return;
    }
    if (!plugged.startStatus) {
      line("no stack: node %s, AddDevice returned %s", plugged.state.c_str(),
           nrv::statusText(plugged.addStatus.value_or(STATUS_SUCCESS)).c_str());
      return;
    }
    if (!plugged.driverAttached) {
      line("no stack: node %s, start returned %s", plugged.state.c_str(),
           nrv::statusText(*plugged.startStatus).c_str());
      return;
    }
    line("AddDevice and start: node %s, start returned %s; port name %s; %zu child(ren)",
         plugged.state.c_str(), nrv::statusText(*plugged.startStatus).c_str(),
         orNone(plugged.portName).c_str(), plugged.children);
    for (const InstalledQueue& queue : plugged.queuesInstalled) {
      for (const std::string& text : factLines(queue)) line("%s", text.c_str());
    }
  }

  void show(const FaultsScheduled& scheduled) { line("faults: %s", joined(scheduled.faults, "; ").c_str()); }

  void show(const PrinterShown& shown) {
    line("node %s: %s; %zu open handle(s)", shown.state.c_str(), identifier(shown.instancePath).c_str(),
         shown.openHandles);
    line("device key: PortName %s", orNone(shown.portName).c_str());
    line("            DeviceID %s", orNone(shown.deviceId).c_str());
    line("            SerialNumberFound %s",
         shown.serialNumberFound ? std::to_string(*shown.serialNumberFound).c_str() : "<none>");
    line("interface %s", shown.interfaceLink ? identifier(*shown.interfaceLink).c_str() : "<none enabled>");
    showConfiguration(shown.configuration);
    if (shown.children.empty()) line("no child");
    for (const ChildFacts& child : shown.children) showChild(child);
  }

  void showConfiguration(const std::optional<ConfigurationFacts>& configuration) {
    if (!configuration) {
      line("not configured");
      return;
    }
    std::vector<std::string> pipes;
    for (const PipeFacts& pipe : configuration->pipes) {
      pipes.push_back(nrv::format("%s %s 0x%02X (%u-byte packets)", pipe.type.c_str(),
                                  (pipe.endpoint & 0x80) != 0 ? "IN" : "OUT", pipe.endpoint,
                                  pipe.maxPacketSize));
    }
    line("configured: interface %u, alternate setting %u, class %u, protocol %u; pipes: %s",
         configuration->interfaceNumber, configuration->alternateSetting, configuration->interfaceClass,
         configuration->protocol, joined(pipes, ", ").c_str());
  }

  void showChild(const ChildFacts& child) {
    line("child node %s: %s", child.state.c_str(),
         child.instancePath.empty() ? "<no device node>" : identifier(child.instancePath).c_str());
    line("  device ID       %s", identifier(child.deviceId).c_str());
    line("  hardware IDs    %s", joined(identifiers(child.hardwareIds), " ").c_str());
    line("  compatible IDs  %s", joined(identifiers(child.compatibleIds), " ").c_str());
    line("  instance ID     %s", identifier(child.instanceId).c_str());
    line("  description     %s", quotedBytes(child.description).c_str());
  }

  void show(const HandleOpened& opened) {
    if (opened.link.empty()) {
      line("no enabled printer interface: %s", nrv::statusText(opened.status).c_str());
      return;
    }
    line("open %s returned %s", identifier(opened.link).c_str(), nrv::statusText(opened.status).c_str());
  }

  void show(const HandleClosed& closed) {
    line("%s", closed.printerRemoved
                   ? "closed; it was the unplugged printer's last handle, so its stack is removed"
                   : "closed");
  }

  void show(const PrinterReset& reset) {
    line("IOCTL_USBPRN_SOFT_RESET on %s's handle returned %s", reset.printer.c_str(),
         nrv::statusText(reset.status).c_str());
  }

  // A run of requests that went alike is shown once: "writes 2 to 1024, each: ...".
  void showRequest(const char* what, size_t number, const RequestFacts& request, const char* direction) {
    std::string which = request.times == 1
                            ? nrv::format("%s %zu:", what, number)
                            : nrv::format("%ss %zu to %zu, each:", what, number, number + request.times - 1);
    line("%s %zu bytes; completed after %llu ms with %s, %llu bytes", which.c_str(), request.length,
         static_cast<unsigned long long>(request.milliseconds), nrv::statusText(request.status).c_str(),
         static_cast<unsigned long long>(request.information));
    line("  %zu bulk %s transfer(s): %s", transferCount(request.transfers), direction,
         transferList(request.transfers).c_str());
    if (!request.cancelled) return;
    line(
        "  its time ran out: IOCTL_USBPRN_CANCEL_PIPE_REQUESTS returned %s, then "
        "IOCTL_USBPRN_RESET_BULK_PIPE %s",
        nrv::statusText(request.cancelStatus).c_str(), nrv::statusText(request.resetStatus).c_str());
  }

  void show(const DocumentPrinted& printed) {
    line("printing %s (%zu bytes) %s", printed.document.c_str(), printed.size,
         ownOpenText(printed.ownOpen).c_str());
    size_t number = 1;
    for (const RequestFacts& write : printed.writes) {
      showRequest("write", number, write, "OUT");
      number += write.times;
    }
    if (printed.identical) {
      line("the printer received %zu bytes, identical to the document", printed.received);
    } else {
      line("the printer received %zu of the document's %zu bytes", printed.received, printed.size);
    }
  }

  void show(const ReplyQueued& queued) {
    line("the printer will answer IN transfers with %zu more bytes (%zu reply(ies) waiting)", queued.bytes,
         queued.waiting);
  }

  void show(const DataRead& read) {
    line("reading %s", ownOpenText(read.ownOpen).c_str());
    if (!read.request) return;
    showRequest("read", 1, *read.request, "IN");
    line("data: %s", quotedBytes(read.data).c_str());
  }

  void show(const PowerChanged& changed) {
    if (changed.vetoedBy) {
      line("%s vetoed by %s with %s", changed.requested.c_str(), changed.vetoedBy->c_str(),
           nrv::statusText(changed.status).c_str());
    } else {
      line("%s returned %s", changed.requested.c_str(), nrv::statusText(changed.status).c_str());
    }
    std::vector<std::string> devices;
    for (const DevicePower& device : changed.devices)
      devices.push_back(device.printer + " in " + device.state);
    line("the machine is in %s%s%s", changed.systemState.c_str(), devices.empty() ? "" : "; ",
         joined(devices, ", ").c_str());
    if (!changed.arrived.empty()) line("enumerated on waking: %s", joined(changed.arrived, ", ").c_str());
  }

  void show(const LocaleChanged& changed) {
    line("the system default locale is 0x%04X; the ANSI code page %u", static_cast<unsigned>(changed.lcid),
         changed.codePage);
  }

  // Name, monitor and description in columns; for the port monitor's ports, whether a printer carries it now.
  void showPort(const PortFacts& port) {
    std::string connection;
    if (port.connected) connection = *port.connected ? "; printer connected" : "; no printer connected";
    line("  %-11s %-31s %s%s", shownName(port.name).c_str(), shownName(port.monitor).c_str(),
         port.description ? quotedText(*port.description).c_str() : "<no description>", connection.c_str());
  }

  void show(const PortsListed& listed) {
    line("EnumPorts level 2 listed %zu port(s):", listed.ports.size());
    for (const PortFacts& port : listed.ports) showPort(port);
  }

  void show(const TimePassed& passed) {
    line("%llu ms passed", static_cast<unsigned long long>(passed.milliseconds));
  }

  void show(const PrinterUnplugged& unplugged) {
    if (unplugged.safely) {
      line("safe removal returned %s", nrv::statusText(unplugged.status).c_str());
    } else {
      line("cable pulled");
    }
    if (unplugged.gone) {
      line("%s is gone: its stack and child are removed", unplugged.printer.c_str());
    } else {
      line("%s stays: node %s, %zu open handle(s)", unplugged.printer.c_str(), unplugged.state.c_str(),
           unplugged.openHandles);
    }
  }

  void show(const JobStarted& started) {
    line("%s runs in the background: %s on %s", started.job.c_str(), started.work.c_str(),
         started.printer.c_str());
  }

  void show(const JobWaited& waited) {
    if (waited.scenarioEnded) line("the scenario ended without waiting for %s", waited.job.c_str());
    if (!waited.outcome) {
      line("%s still runs after %llu ms", waited.job.c_str(),
           static_cast<unsigned long long>(waited.milliseconds));
      return;
    }
    line("%s had ended after %llu ms of waiting:", waited.job.c_str(),
         static_cast<unsigned long long>(waited.milliseconds));
    std::visit([this](const auto& facts) { show(facts); }, *waited.outcome);
    if (waited.printerRemoved) {
      line("its handle closed; it was the unplugged printer's last, so its stack is removed");
    } else if (waited.ownHandleClosed) {
      line("its handle closed");
    }
  }

  void show(const CancelSent& sent) {
    line("IOCTL_USBPRN_CANCEL_PIPE_REQUESTS on %s's bulk %s pipe returned %s%s", sent.printer.c_str(),
         sent.pipe.c_str(), nrv::statusText(sent.status).c_str(),
         sent.jobRunning ? "" : nrv::format(" (%s had ended already)", sent.job.c_str()).c_str());
  }

  // The spooler's facts, told line by line.
  template <typename Facts>
  requires requires(const Facts& facts) { factLines(facts); }
  void show(const Facts& facts) {
    for (const std::string& text : factLines(facts)) line("%s", text.c_str());
  }

  FILE* out_;
};

}  // namespace

std::unique_ptr<Report> makeTranscript(FILE* out) { return std::make_unique<Transcript>(out); }

}  // namespace nrvsim
