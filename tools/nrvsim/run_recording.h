// What a run records besides its report: a capture file of the USB traffic
// and a timeline picture, each when asked for. It listens to every machine
// the run boots, and sees the report's facts on their way out.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "report.h"
#include "scenario_run.h"
#include "usb/usb_capture.h"
#include "usb/usb_traffic.h"

namespace nrvsim {

class Timeline;

class RunRecording : public nrv::UsbTrafficListener {
 public:
  RunRecording();
  ~RunRecording() override;
  RunRecording(const RunRecording&) = delete;
  RunRecording& operator=(const RunRecording&) = delete;

  // Opens what the options ask for; false, with the reason, when a file cannot be written.
  bool open(const RunOptions& options, std::string& error);
  // The listener machines are given; null when nothing is recorded.
  nrv::UsbTrafficListener* listener() { return capture_ || timeline_ ? this : nullptr; }
  // The report the run writes to: the given one, seen by the timeline on the way.
  Report& report(Report& inner);
  // Writes what was recorded; false, with the reason, when a file could not be written.
  bool finish(std::string& error);

  void packet(const nrv::UsbTrafficPacket& packet) override;
  void nak(uint64_t time, USHORT bus, USHORT device, UCHAR endpoint, bool begins) override;
  void clockRestarted() override;

 private:
  std::optional<nrv::UsbCaptureFile> capture_;
  std::unique_ptr<Timeline> timeline_;
  std::string timelineFile_;
  std::unique_ptr<Report> timelineReport_;
};

}  // namespace nrvsim
