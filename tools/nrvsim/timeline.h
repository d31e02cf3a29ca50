// A picture of a run over virtual time: per printer, its bulk transfers as
// bars, the periods it NAKed them, its control requests (port-status polls,
// device-ID requests, resets), cancels and aborts; per spooler job, the
// monitor's WritePort calls cut into the wait slices between its polls; and
// the machine's sleeps, wakes and restarts. Fed by the USB traffic and by the
// report's facts, from the machine's threads and the scenario's; drawn as SVG.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/scheduler.h"
#include "events.h"
#include "usb/usb_traffic.h"

namespace nrvsim {

// What a mark or bar shows; the SVG's class names and legend follow it.
enum class TimelineKind {
  BulkOut,
  BulkIn,
  BulkFailed,
  BulkCancelled,
  Nak,
  WritePort,
  WaitSlice,
  Job,
  StatusPoll,
  DeviceId,
  Descriptor,
  SoftReset,
  PortReset,
  PipeReset,
  Abort,
  Cancel,
  Timeout,
  JobStart,
  JobEnd,
  Plug,
  Unplug,
  Sleep,
  Wake,
  Restart,
};

// A bar when end > start, a mark at start otherwise. Times in the clock's 100 ns units since the run began.
struct TimelineItem {
  uint64_t start = 0;
  uint64_t end = 0;
  TimelineKind kind = TimelineKind::Job;
  std::string detail;  // what hovering over it tells
};

struct TimelineRow {
  std::string label;
  std::vector<TimelineItem> items;
};

struct TimelineLane {
  std::string title;
  std::vector<TimelineRow> rows;
};

class Timeline {
 public:
  // ---- the USB traffic
  void packet(const nrv::UsbTrafficPacket& packet);
  void nak(uint64_t time, USHORT bus, USHORT device, UCHAR endpoint, bool begins);
  void clockRestarted();
  // ---- the report's facts
  void stepStarted(const Step& step);
  void stepFinished(const Event& event);
  void shuttingDown(uint64_t milliseconds);

  // The lanes in the order they are drawn: the machine, then each printer, then each spooler job.
  std::vector<TimelineLane> lanes() const;
  // The picture as an SVG document.
  std::string svg() const;

 private:
  struct Submission {
    uint64_t time = 0;
    std::array<UCHAR, 8> setup{};
    size_t length = 0;  // the bytes an OUT transfer carried down
  };
  struct DeviceLane {
    std::vector<std::string> printers;  // the names plugged at this address, in order
    TimelineRow events{"events", {}};
    TimelineRow control{"control", {}};
    TimelineRow out{"bulk OUT", {}};
    TimelineRow in{"bulk IN", {}};
  };
  using DeviceKey = std::pair<USHORT, USHORT>;  // bus, address

  uint64_t at(uint64_t units) const { return base_ + units; }
  uint64_t atMilliseconds(uint64_t milliseconds) const {
    return base_ + milliseconds * nrv::Scheduler::kUnitsPerMillisecond;
  }
  void reach(uint64_t time);
  DeviceLane& lane(DeviceKey key);
  DeviceLane* laneOf(const std::string& printer);
  void controlCompleted(DeviceLane& lane, const Submission& submitted, const nrv::UsbTrafficPacket& packet);
  void bulkCompleted(DeviceLane& lane, const Submission& submitted, const nrv::UsbTrafficPacket& packet);
  void spoolerJob(const SpoolerJobRun& run);
  void printerEvent(const std::string& printer, TimelineKind kind, std::string detail);
  void record(const Event& event);
  // Ends what the step before left open (a print shown once it is done) at the given time.
  void closeStep(uint64_t time);

  std::vector<TimelineLane> lanesHeld() const;

  mutable std::mutex lock_;
  uint64_t base_ = 0;  // where the current machine's clock 0 is
  uint64_t end_ = 0;
  uint64_t stepTime_ = 0;
  std::map<uint64_t, Submission> submitted_;
  std::map<std::tuple<USHORT, USHORT, UCHAR>, uint64_t> naking_;
  std::map<DeviceKey, DeviceLane> devices_;
  std::map<std::string, DeviceKey> printers_;  // where each printer was last plugged
  TimelineRow machine_{"machine", {}};
  std::vector<TimelineLane> jobs_;
  // A print or read shown when it is done: it lasted until the next step began.
  struct OpenStep {
    uint64_t start = 0;
    std::string printer;
    std::string detail;
    bool timedOut = false;
  };
  std::vector<OpenStep> open_;
  void openStep(OpenStep step, const JobOutcome& outcome);
  std::map<std::string, OpenStep> backgroundJobs_;               // started and not yet waited for
  std::map<std::pair<uint32_t, std::string>, size_t> jobLanes_;  // spooler job id and queue -> jobs_ index
};

}  // namespace nrvsim
