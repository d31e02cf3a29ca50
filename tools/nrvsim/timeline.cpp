#include "timeline.h"

#include <algorithm>
#include <optional>

#include "base/scheduler.h"
#include "base/text.h"
#include "usb/simulated_printer.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

// nrvsim plugs its printers into the machine's first bus.
constexpr USHORT kScenarioBus = 1;


std::string milliseconds(uint64_t units) {
  return nrv::format("%.3f ms", static_cast<double>(units) / nrv::Scheduler::kUnitsPerMillisecond);
}

// Cancelled is not an error in USBD's terms, yet the request did not go through.
std::string outcome(USBD_STATUS status) {
  if (status == USBD_STATUS_CANCELED) return ", cancelled";
  return USBD_SUCCESS(status) ? std::string() : ", ended with " + usbdStatusName(status);
}

bool timedOut(const std::vector<RequestFacts>& requests) {
  return std::any_of(requests.begin(), requests.end(),
                     [](const RequestFacts& request) { return request.cancelled; });
}

}  // namespace

void Timeline::reach(uint64_t time) { end_ = std::max(end_, time); }

Timeline::DeviceLane& Timeline::lane(DeviceKey key) { return devices_[key]; }

Timeline::DeviceLane* Timeline::laneOf(const std::string& printer) {
  auto found = printers_.find(printer);
  return found == printers_.end() ? nullptr : &devices_[found->second];
}

// ---- the USB traffic

void Timeline::packet(const nrv::UsbTrafficPacket& packet) {
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t time = at(packet.time);
  reach(time);
  if (!packet.completion) {
    if (packet.stage == nrv::UsbControlStage::Data) return;
    submitted_[packet.requestId] = Submission{time, packet.setup, packet.length};
    return;
  }
  Submission submitted{time, {}, 0};
  auto found = submitted_.find(packet.requestId);
  if (found != submitted_.end()) {
    submitted = found->second;
    submitted_.erase(found);
  }
  DeviceLane& device = lane({packet.bus, packet.device});
  switch (packet.transfer) {
    case nrv::UsbTransferKind::Control:
      controlCompleted(device, submitted, packet);
      break;
    case nrv::UsbTransferKind::Bulk:
    case nrv::UsbTransferKind::Interrupt:
      bulkCompleted(device, submitted, packet);
      break;
    default:
      if (packet.function == URB_FUNCTION_ABORT_PIPE) {
        device.events.items.push_back(
            {time, time, TimelineKind::Abort, nrv::format("abort pipe, endpoint 0x%02X", packet.endpoint)});
      } else if (packet.function == URB_FUNCTION_RESET_PIPE) {
        device.events.items.push_back({time, time, TimelineKind::PipeReset,
                                       nrv::format("reset pipe, endpoint 0x%02X", packet.endpoint)});
      }
      break;
  }
}

void Timeline::controlCompleted(DeviceLane& device, const Submission& submitted,
                                const nrv::UsbTrafficPacket& packet) {
  uint64_t time = at(packet.time);
  UCHAR requestType = submitted.setup[0];
  UCHAR request = submitted.setup[1];
  std::string ended = outcome(packet.status);
  bool classRequest = (requestType & nrv::kUsbTypeMask) == nrv::kUsbTypeClass;
  if (packet.status == USBD_STATUS_CANCELED) {
    device.control.items.push_back({time, time, TimelineKind::Cancel, "control request cancelled"});
  } else if (classRequest && request == nrv::kPrinterGetPortStatus) {
    std::string status = packet.length != 0 ? nrv::format("0x%02X", packet.data[0]) : "none";
    device.control.items.push_back(
        {time, time, TimelineKind::StatusPoll, "GET_PORT_STATUS: " + status + ended});
  } else if (classRequest && request == nrv::kPrinterGetDeviceId) {
    device.control.items.push_back(
        {time, time, TimelineKind::DeviceId, nrv::format("GET_DEVICE_ID: %zu bytes", packet.length) + ended});
  } else if (classRequest && request == nrv::kPrinterSoftReset) {
    device.events.items.push_back({time, time, TimelineKind::SoftReset, "SOFT_RESET" + ended});
  } else if (request == nrv::kUsbSetConfiguration && packet.function == URB_FUNCTION_CONTROL_TRANSFER) {
    // The bus sets the configuration again on its own only after a port reset.
    device.events.items.push_back(
        {time, time, TimelineKind::PortReset, "port reset: configuration set again"});
  } else {
    std::string what =
        request == nrv::kUsbGetDescriptor
            ? nrv::format("GET_DESCRIPTOR type %u index %u", submitted.setup[3], submitted.setup[2])
            : nrv::format("request 0x%02X (bmRequestType 0x%02X)", request, requestType);
    device.control.items.push_back({time, time, TimelineKind::Descriptor, what + ended});
  }
}

void Timeline::bulkCompleted(DeviceLane& device, const Submission& submitted,
                             const nrv::UsbTrafficPacket& packet) {
  uint64_t time = at(packet.time);
  bool in = (packet.endpoint & 0x80) != 0;
  TimelineKind kind = packet.status == USBD_STATUS_CANCELED ? TimelineKind::BulkCancelled
                      : !USBD_SUCCESS(packet.status)        ? TimelineKind::BulkFailed
                      : in                                  ? TimelineKind::BulkIn
                                                            : TimelineKind::BulkOut;
  std::string detail = in ? nrv::format("bulk IN: %zu bytes", packet.length)
                          : nrv::format("bulk OUT: %zu bytes sent down", submitted.length);
  detail += ", " + milliseconds(time - submitted.time) + outcome(packet.status);
  (in ? device.in : device.out).items.push_back({submitted.time, time, kind, detail});
}

void Timeline::nak(uint64_t time, USHORT bus, USHORT device, UCHAR endpoint, bool begins) {
  std::lock_guard<std::mutex> guard(lock_);
  time = at(time);
  reach(time);
  auto key = std::make_tuple(bus, device, endpoint);
  if (begins) {
    naking_[key] = time;
    return;
  }
  auto found = naking_.find(key);
  if (found == naking_.end()) return;
  uint64_t start = found->second;
  naking_.erase(found);
  if (time == start) return;
  DeviceLane& owner = lane({bus, device});
  (endpoint & 0x80 ? owner.in : owner.out)
      .items.push_back({start, time, TimelineKind::Nak, "NAKed for " + milliseconds(time - start)});
}

void Timeline::clockRestarted() {
  std::lock_guard<std::mutex> guard(lock_);
  base_ = end_;
}

// ---- the report's facts

void Timeline::stepStarted(const Step& step) {
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t time = atMilliseconds(step.milliseconds);
  closeStep(time);
  stepTime_ = time;
  reach(time);
}

void Timeline::shuttingDown(uint64_t milliseconds) {
  std::lock_guard<std::mutex> guard(lock_);
  uint64_t time = atMilliseconds(milliseconds);
  closeStep(time);
  reach(time);
}

void Timeline::stepFinished(const Event& event) {
  std::lock_guard<std::mutex> guard(lock_);
  record(event);
}

void Timeline::printerEvent(const std::string& printer, TimelineKind kind, std::string detail) {
  DeviceLane* device = laneOf(printer);
  TimelineRow& row = device != nullptr ? device->events : machine_;
  row.items.push_back({stepTime_, stepTime_, kind, printer + ": " + detail});
}

void Timeline::record(const Event& event) {
  if (const auto* plugged = std::get_if<PrinterPlugged>(&event)) {
    DeviceKey key{kScenarioBus, static_cast<USHORT>(plugged->port)};
    DeviceLane& device = lane(key);
    if (device.printers.empty() || device.printers.back() != plugged->printer) {
      device.printers.push_back(plugged->printer);
    }
    printers_[plugged->printer] = key;
    printerEvent(plugged->printer, TimelineKind::Plug,
                 nrv::format("plugged into port %lu", static_cast<unsigned long>(plugged->port)) +
                     (plugged->waitsForWake ? ", enumerated at the wake" : ""));
  } else if (const auto* unplugged = std::get_if<PrinterUnplugged>(&event)) {
    printerEvent(unplugged->printer, TimelineKind::Unplug,
                 unplugged->safely ? "removed safely" : "unplugged");
  } else if (const auto* power = std::get_if<PowerChanged>(&event)) {
    bool wake = power->requested == "S0";
    std::string detail = wake ? "wake" : "sleep " + power->requested;
    if (power->vetoedBy) detail += ", vetoed by " + *power->vetoedBy;
    machine_.items.push_back({stepTime_, stepTime_, wake ? TimelineKind::Wake : TimelineKind::Sleep, detail});
  } else if (std::holds_alternative<MachineRestarted>(event)) {
    machine_.items.push_back(
        {stepTime_, stepTime_, TimelineKind::Restart, "restart: the clock starts again"});
  } else if (const auto* run = std::get_if<SpoolerJobRun>(&event)) {
    spoolerJob(*run);
  } else if (const auto* printed = std::get_if<DocumentPrinted>(&event)) {
    openStep({stepTime_, printed->printer, "print " + printed->document, false}, *printed);
  } else if (const auto* read = std::get_if<DataRead>(&event)) {
    openStep({stepTime_, read->printer, "read", false}, *read);
  } else if (const auto* started = std::get_if<JobStarted>(&event)) {
    backgroundJobs_[started->job] = {stepTime_, started->printer, started->job + ": " + started->work, false};
  } else if (const auto* waited = std::get_if<JobWaited>(&event)) {
    auto found = backgroundJobs_.find(waited->job);
    if (found != backgroundJobs_.end() && waited->outcome) {
      openStep(found->second, *waited->outcome);
      backgroundJobs_.erase(found);
    }
  } else if (const auto* cancel = std::get_if<CancelSent>(&event)) {
    printerEvent(cancel->printer, TimelineKind::Cancel, "cancel the " + cancel->pipe + " pipe's requests");
  }
}

void Timeline::openStep(OpenStep step, const JobOutcome& outcome) {
  if (const auto* printed = std::get_if<DocumentPrinted>(&outcome)) {
    step.timedOut = timedOut(printed->writes);
  } else if (const auto* read = std::get_if<DataRead>(&outcome)) {
    step.timedOut = read->request && read->request->cancelled;
  }
  open_.push_back(std::move(step));
}

// A print or read lasted until the next step began; its timeout, when it had
// one, is where its transfer was cancelled or its pipe aborted.
void Timeline::closeStep(uint64_t time) {
  for (const OpenStep& step : open_) {
    DeviceLane* device = laneOf(step.printer);
    if (device == nullptr) continue;
    device->events.items.push_back({step.start, time, TimelineKind::Job, step.printer + ": " + step.detail});
    if (!step.timedOut) continue;
    std::optional<uint64_t> ended;
    for (const TimelineRow* row : {&device->events, &device->out, &device->in}) {
      for (const TimelineItem& item : row->items) {
        bool cut = item.kind == TimelineKind::Abort || item.kind == TimelineKind::BulkCancelled;
        // Steps are stamped in whole milliseconds; the traffic to the 100 ns.
        bool during = item.end >= step.start && item.end < time + nrv::Scheduler::kUnitsPerMillisecond;
        if (cut && during && (!ended || item.end < *ended)) ended = item.end;
      }
    }
    if (ended) {
      device->events.items.push_back(
          {*ended, *ended, TimelineKind::Timeout, step.printer + ": a request outlived its timeout"});
    }
  }
  open_.clear();
}

// The monitor's side of a spooler job: each WritePort from the call before it
// returned to its own return, cut into wait slices by the status polls in it.
void Timeline::spoolerJob(const SpoolerJobRun& run) {
  auto key = std::make_pair(run.id, run.queue);
  auto found = jobLanes_.find(key);
  if (found == jobLanes_.end()) {
    found = jobLanes_.emplace(key, jobs_.size()).first;
    jobs_.push_back({nrv::format("job %u: %s on %s", run.id, run.queue.c_str(), run.port.c_str()),
                     {{"spooler", {}}, {"monitor waits", {}}}});
  }
  TimelineRow& calls = jobs_[found->second].rows[0];
  TimelineRow& waits = jobs_[found->second].rows[1];
  uint64_t previous = stepTime_;
  std::vector<uint64_t> polls;
  for (const JobLine& line : run.lines) {
    uint64_t time = atMilliseconds(line.milliseconds);
    reach(time);
    switch (line.kind) {
      case JobLine::Kind::StatusPoll:
        calls.items.push_back(
            {time, time, TimelineKind::StatusPoll, nrv::format("port status 0x%02X", line.status)});
        polls.push_back(time);
        continue;
      case JobLine::Kind::OpenPort:
        calls.items.push_back({time, time, TimelineKind::JobStart, "OpenPort: the job starts"});
        break;
      case JobLine::Kind::EndDocPort:
        calls.items.push_back({time, time, TimelineKind::JobEnd, "EndDocPort: the job ends"});
        break;
      case JobLine::Kind::WritePort: {
        calls.items.push_back({previous, time, TimelineKind::WritePort,
                               nrv::format("WritePort %u bytes: took %u", line.asked, line.taken)});
        if (!polls.empty()) {
          polls.push_back(time);
          uint64_t slice = previous;
          for (uint64_t poll : polls) {
            if (poll > slice) {
              waits.items.push_back(
                  {slice, poll, TimelineKind::WaitSlice, "wait slice of " + milliseconds(poll - slice)});
            }
            slice = poll;
          }
        }
        break;
      }
      default:
        break;
    }
    previous = time;
    polls.clear();
  }
  uint64_t waited = stepTime_ + run.milliseconds * nrv::Scheduler::kUnitsPerMillisecond;
  if (run.state == "error") {
    calls.items.push_back({waited, waited, TimelineKind::Timeout,
                           nrv::format("the job stopped in error (last error %u)", run.lastError)});
  } else if (run.state == "cancelled") {
    calls.items.push_back({waited, waited, TimelineKind::Cancel, "the job was cancelled"});
  }
}

std::vector<TimelineLane> Timeline::lanes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lanesHeld();
}

std::vector<TimelineLane> Timeline::lanesHeld() const {
  std::vector<TimelineLane> lanes;
  if (!machine_.items.empty()) lanes.push_back({"machine", {machine_}});
  for (const auto& [key, device] : devices_) {
    std::string title = key.first == kScenarioBus ? nrv::format("port %u", key.second)
                                                  : nrv::format("bus %u port %u", key.first, key.second);
    for (size_t index = 0; index < device.printers.size(); index++) {
      title += (index == 0 ? ": " : ", ") + device.printers[index];
    }
    TimelineLane lane{title, {}};
    for (const TimelineRow* row : {&device.events, &device.control, &device.out, &device.in}) {
      if (!row->items.empty()) lane.rows.push_back(*row);
    }
    if (!lane.rows.empty()) lanes.push_back(std::move(lane));
  }
  lanes.insert(lanes.end(), jobs_.begin(), jobs_.end());
  return lanes;
}

}  // namespace nrvsim
