// The --json document: the same facts as the transcript, as one JSON object
// written once the machine has shut down.
#include <cstdio>

#include "base/bugcheck.h"
#include "base/status_text.h"
#include "base/text.h"
#include "json_writer.h"
#include "machine_report.h"
#include "package_report.h"
#include "report.h"
#include "spooler_report.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

// The status's name, or its value in hexadecimal when it has none.
std::string statusName(NTSTATUS status) {
  std::string text = nrv::statusText(status);
  size_t open = text.find(" (");
  return open == std::string::npos ? text : text.substr(open + 2, text.size() - open - 3);
}

std::string hexBytes(const std::string& bytes) {
  std::string hex;
  for (char byte : bytes) hex += nrv::format("%02x", static_cast<unsigned char>(byte));
  return hex;
}

class JsonReport : public Report {
 public:
  explicit JsonReport(FILE* out) : out_(out) {}

  void booted(uint64_t, const char* profile) override {
    json_.beginObject();
    json_.field("profile", profile);
  }

  void loaded(uint64_t, const std::string& folder, const MachineRestarted& start) override {
    json_.key("loaded").beginObject();
    json_.field("folder", folder);
    writeFacts(json_, start);
    json_.endObject();
  }

  void saved(const std::string& folder) override { json_.field("saved", folder); }

  void driverLoaded(uint64_t, const DriverLoaded& driver) override {
    json_.key("driver").beginObject();
    json_.field("module", driver.modulePath);
    if (!driver.loadFailure.empty()) {
      json_.field("load_status", statusName(driver.entryStatus));
      json_.field("load_failure", driver.loadFailure);
      json_.endObject();
      return;
    }
    json_.field("entry_status", statusName(driver.entryStatus));
    json_.key("routines").beginObject();
    for (const DispatchEntry& entry : driver.routines) json_.field(entry.function, entry.routine);
    json_.endObject();
    json_.field("refused_major_functions", driver.refusedMajorFunctions);
    json_.endObject();
  }

  void monitorStarted(uint64_t, const MonitorStarted& monitor) override {
    json_.key("monitor").beginObject();
    json_.field("name", monitor.name);
    json_.field("file", monitor.file);
    json_.field("module", monitor.modulePath);
    if (!monitor.failure.empty()) {
      json_.field("failure", monitor.failure);
    } else {
      writePorts(monitor.ports);
    }
    json_.endObject();
  }

  void spoolerStarted(uint64_t) override { json_.field("package_installed_at_boot", false); }

  void stepStarted(const Step& step) override { step_ = step; }

  void stepFinished(const Event& event) override {
    beginSteps();
    json_.beginObject();
    json_.field("time_ms", step_.milliseconds);
    json_.field("line", step_.line);
    json_.field("command", step_.text);
    std::visit([this](const auto& facts) { write(facts); }, event);
    json_.endObject();
  }

  void stepFailed(const ScenarioError& error, const std::string& message) override {
    error_ = error;
    errorMessage_ = message;
  }

  void shuttingDown(uint64_t) override {
    beginSteps();
    json_.endArray();
    if (!errorMessage_.empty()) {
      json_.key("error").beginObject();
      json_.field("line", error_.line);
      json_.field("command", error_.command);
      json_.field("message", errorMessage_);
      json_.endObject();
    }
  }

  void shutdownClean() override {
    json_.field("shutdown", "clean");
    json_.endObject();
    std::fprintf(out_, "%s\n", json_.text().c_str());
  }

 private:
  // The steps follow what the machine was started with, however far that got.
  void beginSteps() {
    if (stepsBegun_) return;
    json_.key("steps").beginArray();
    stepsBegun_ = true;
  }

  template <typename Value>
  void optionalField(const char* name, const std::optional<Value>& value) {
    if (value) json_.field(name, *value);
  }

  void strings(const char* name, const std::vector<std::string>& texts) {
    json_.key(name).beginArray();
    for (const std::string& text : texts) json_.value(text);
    json_.endArray();
  }

  void write(const PrinterPlugged& plugged) {
    json_.field("kind", "plug");
    json_.field("printer", plugged.printer);
    json_.field("port", plugged.port);
    json_.field("instance_path", plugged.instancePath);
    json_.field(plugged.rawDeviceId ? "device_id_reply" : "device_id", plugged.deviceId);
    optionalField("serial_number", plugged.serialNumber);
    json_.field("protocol", plugged.protocol);
    json_.field("speed", plugged.highSpeed ? "high" : "full");
    strings("faults", plugged.faults);
    json_.field("driver_attached", plugged.driverAttached);
    json_.field("waits_for_wake", plugged.waitsForWake);
    if (!plugged.waitsForWake) json_.field("state", plugged.state);
    if (plugged.addStatus) json_.field("add_status", statusName(*plugged.addStatus));
    if (plugged.startStatus) json_.field("start_status", statusName(*plugged.startStatus));
    optionalField("port_name", plugged.portName);
    json_.field("children", plugged.children);
    writeFacts(json_, plugged.queuesInstalled);
  }

  void write(const FaultsScheduled& scheduled) {
    json_.field("kind", "fault");
    json_.field("printer", scheduled.printer);
    strings("faults", scheduled.faults);
  }

  void write(const PrinterShown& shown) {
    json_.field("kind", "show");
    json_.field("printer", shown.printer);
    json_.field("instance_path", shown.instancePath);
    json_.field("state", shown.state);
    json_.field("open_handles", shown.openHandles);
    optionalField("port_name", shown.portName);
    optionalField("device_id", shown.deviceId);
    optionalField("serial_number_found", shown.serialNumberFound);
    optionalField("interface", shown.interfaceLink);
    if (shown.configuration) writeConfiguration(*shown.configuration);
    json_.key("children").beginArray();
    for (const ChildFacts& child : shown.children) writeChild(child);
    json_.endArray();
  }

  void writeConfiguration(const ConfigurationFacts& configuration) {
    json_.key("configuration").beginObject();
    json_.field("interface", configuration.interfaceNumber);
    json_.field("alternate_setting", configuration.alternateSetting);
    json_.field("class", configuration.interfaceClass);
    json_.field("protocol", configuration.protocol);
    json_.key("pipes").beginArray();
    for (const PipeFacts& pipe : configuration.pipes) {
      json_.beginObject();
      json_.field("endpoint", pipe.endpoint);
      json_.field("type", pipe.type);
      json_.field("direction", (pipe.endpoint & 0x80) != 0 ? "in" : "out");
      json_.field("max_packet_size", pipe.maxPacketSize);
      json_.endObject();
    }
    json_.endArray();
    json_.endObject();
  }

  void writeChild(const ChildFacts& child) {
    json_.beginObject();
    json_.field("instance_path", child.instancePath);
    json_.field("state", child.state);
    json_.field("device_id", child.deviceId);
    strings("hardware_ids", child.hardwareIds);
    strings("compatible_ids", child.compatibleIds);
    json_.field("instance_id", child.instanceId);
    json_.field("description", child.description);
    json_.endObject();
  }

  void write(const HandleOpened& opened) {
    json_.field("kind", "open");
    json_.field("printer", opened.printer);
    json_.field("status", statusName(opened.status));
    if (!opened.link.empty()) json_.field("interface", opened.link);
  }

  void write(const HandleClosed& closed) {
    json_.field("kind", "close");
    json_.field("printer", closed.printer);
    json_.field("printer_removed", closed.printerRemoved);
  }

  void write(const PrinterReset& reset) {
    json_.field("kind", "reset");
    json_.field("printer", reset.printer);
    json_.field("status", statusName(reset.status));
  }

  void writeRequest(const RequestFacts& request) {
    json_.beginObject();
    json_.field("length", request.length);
    json_.field("status", statusName(request.status));
    json_.field("information", request.information);
    json_.field("cancelled", request.cancelled);
    if (request.cancelled) {
      json_.field("cancel_status", statusName(request.cancelStatus));
      json_.field("reset_status", statusName(request.resetStatus));
    }
    json_.field("elapsed_ms", request.milliseconds);
    json_.field("times", request.times);
    json_.key("transfers").beginArray();
    for (const TransferRun& run : request.transfers) {
      json_.beginObject();
      json_.field("bytes", run.bytes);
      json_.field("usbd_status", usbdStatusName(run.status));
      json_.field("count", run.count);
      json_.endObject();
    }
    json_.endArray();
    json_.endObject();
  }

  void ownOpen(const std::optional<NTSTATUS>& status) {
    if (status) json_.field("own_handle_open_status", statusName(*status));
  }

  void write(const DocumentPrinted& printed) {
    json_.field("kind", "print");
    json_.field("printer", printed.printer);
    json_.field("document", printed.document);
    json_.field("size", printed.size);
    ownOpen(printed.ownOpen);
    json_.key("writes").beginArray();
    for (const RequestFacts& write : printed.writes) writeRequest(write);
    json_.endArray();
    json_.field("received", printed.received);
    json_.field("identical", printed.identical);
  }

  void write(const ReplyQueued& queued) {
    json_.field("kind", "reply");
    json_.field("printer", queued.printer);
    json_.field("bytes", queued.bytes);
    json_.field("replies_waiting", queued.waiting);
  }

  void write(const DataRead& read) {
    json_.field("kind", "read");
    json_.field("printer", read.printer);
    ownOpen(read.ownOpen);
    if (!read.request) return;
    json_.key("request");
    writeRequest(*read.request);
    json_.field("data_hex", hexBytes(read.data));
  }

  void write(const PowerChanged& changed) {
    json_.field("kind", changed.requested == "S0" ? "wake" : "sleep");
    json_.field("requested", changed.requested);
    json_.field("status", statusName(changed.status));
    optionalField("vetoed_by", changed.vetoedBy);
    json_.field("system_state", changed.systemState);
    json_.key("devices").beginObject();
    for (const DevicePower& device : changed.devices) json_.field(device.printer, device.state);
    json_.endObject();
    if (changed.requested == "S0") strings("arrived", changed.arrived);
  }

  void write(const LocaleChanged& changed) {
    json_.field("kind", "locale");
    json_.field("lcid", changed.lcid);
    json_.field("code_page", changed.codePage);
  }

  void writePorts(const std::vector<PortFacts>& ports) {
    json_.key("ports").beginArray();
    for (const PortFacts& port : ports) {
      json_.beginObject();
      json_.field("name", port.name);
      json_.field("monitor", port.monitor);
      optionalField("description", port.description);
      optionalField("connected", port.connected);
      json_.endObject();
    }
    json_.endArray();
  }

  void write(const PortsListed& listed) {
    json_.field("kind", "ports");
    writePorts(listed.ports);
  }

  void write(const TimePassed& passed) {
    json_.field("kind", "wait");
    json_.field("milliseconds", passed.milliseconds);
  }

  void write(const PrinterUnplugged& unplugged) {
    json_.field("kind", "unplug");
    json_.field("printer", unplugged.printer);
    json_.field("safely", unplugged.safely);
    if (unplugged.safely) json_.field("status", statusName(unplugged.status));
    json_.field("gone", unplugged.gone);
    if (unplugged.gone) return;
    json_.field("state", unplugged.state);
    json_.field("open_handles", unplugged.openHandles);
  }

  void write(const JobStarted& started) {
    json_.field("kind", "start");
    json_.field("job", started.job);
    json_.field("printer", started.printer);
    json_.field("work", started.work);
  }

  void write(const JobWaited& waited) {
    json_.field("kind", "wait_job");
    json_.field("job", waited.job);
    json_.field("waited_ms", waited.milliseconds);
    json_.field("scenario_ended", waited.scenarioEnded);
    json_.field("ended", waited.outcome.has_value());
    if (!waited.outcome) return;
    json_.key("outcome").beginObject();
    std::visit([this](const auto& facts) { write(facts); }, *waited.outcome);
    json_.endObject();
    json_.field("own_handle_closed", waited.ownHandleClosed);
    json_.field("printer_removed", waited.printerRemoved);
  }

  void write(const CancelSent& sent) {
    json_.field("kind", "cancel");
    json_.field("job", sent.job);
    json_.field("printer", sent.printer);
    json_.field("pipe", sent.pipe == "IN" ? "in" : "out");
    json_.field("job_running", sent.jobRunning);
    json_.field("status", statusName(sent.status));
  }

  template <typename Facts>
  requires requires(JsonWriter& json, const Facts& facts) { writeFacts(json, facts); }
  void write(const Facts& facts) { writeFacts(json_, facts); }

  FILE* out_;
  JsonWriter json_;
  Step step_;
  ScenarioError error_;
  std::string errorMessage_;
  bool stepsBegun_ = false;
};

}  // namespace

std::unique_ptr<Report> makeJsonReport(FILE* out) { return std::make_unique<JsonReport>(out); }

}  // namespace nrvsim
