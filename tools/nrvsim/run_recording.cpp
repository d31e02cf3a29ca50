#include "run_recording.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "timeline.h"

namespace nrvsim {

namespace {

// Passes every fact on to the run's report, and shows it to the timeline first.
class TimelineReport : public Report {
 public:
  TimelineReport(Report& inner, Timeline& timeline) : inner_(inner), timeline_(timeline) {}

  void booted(uint64_t milliseconds, const char* profile) override { inner_.booted(milliseconds, profile); }
  void loaded(uint64_t milliseconds, const std::string& folder, const MachineRestarted& start) override {
    inner_.loaded(milliseconds, folder, start);
  }
  void driverLoaded(uint64_t milliseconds, const DriverLoaded& driver) override {
    inner_.driverLoaded(milliseconds, driver);
  }
  void monitorStarted(uint64_t milliseconds, const MonitorStarted& monitor) override {
    inner_.monitorStarted(milliseconds, monitor);
  }
  void spoolerStarted(uint64_t milliseconds) override { inner_.spoolerStarted(milliseconds); }
  void stepStarted(const Step& step) override {
    timeline_.stepStarted(step);
    inner_.stepStarted(step);
  }
  void stepFinished(const Event& event) override {
    timeline_.stepFinished(event);
    inner_.stepFinished(event);
  }
  void stepFailed(const ScenarioError& error, const std::string& where) override {
    inner_.stepFailed(error, where);
  }
  void shuttingDown(uint64_t milliseconds) override {
    timeline_.shuttingDown(milliseconds);
    inner_.shuttingDown(milliseconds);
  }
  void shutdownClean() override { inner_.shutdownClean(); }
  void saved(const std::string& folder) override { inner_.saved(folder); }

 private:
  Report& inner_;
  Timeline& timeline_;
};

// The file must be writable before the run starts, not found out at its end.
bool creatable(const std::string& path, std::string& error) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) return true;
  error = path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

RunRecording::RunRecording() = default;
RunRecording::~RunRecording() = default;

bool RunRecording::open(const RunOptions& options, std::string& error) {
  if (!options.captureFile.empty()) {
    capture_.emplace();
    if (!capture_->open(options.captureFile, error)) return false;
  }
  if (!options.timelineFile.empty()) {
    if (!creatable(options.timelineFile, error)) return false;
    timeline_ = std::make_unique<Timeline>();
    timelineFile_ = options.timelineFile;
  }
  return true;
}

Report& RunRecording::report(Report& inner) {
  if (timeline_ == nullptr) return inner;
  timelineReport_ = std::make_unique<TimelineReport>(inner, *timeline_);
  return *timelineReport_;
}

bool RunRecording::finish(std::string& error) {
  if (capture_ && !capture_->close(error)) return false;
  if (timeline_ == nullptr) return true;
  std::ofstream file(timelineFile_, std::ios::binary | std::ios::trunc);
  file << timeline_->svg();
  file.close();
  if (file) return true;
  error = timelineFile_ + ": " + std::strerror(errno);
  return false;
}

void RunRecording::packet(const nrv::UsbTrafficPacket& packet) {
  if (capture_) capture_->packet(packet);
  if (timeline_) timeline_->packet(packet);
}

void RunRecording::nak(uint64_t time, USHORT bus, USHORT device, UCHAR endpoint, bool begins) {
  if (timeline_) timeline_->nak(time, bus, device, endpoint, begins);
}

void RunRecording::clockRestarted() {
  if (capture_) capture_->clockRestarted();
  if (timeline_) timeline_->clockRestarted();
}

}  // namespace nrvsim
