#include "user/print_job.h"

#include <algorithm>
#include <cstring>

namespace nrv {

namespace {

class BytesDocument : public JobDocument {
 public:
  explicit BytesDocument(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  size_t read(uint8_t* buffer, size_t size) override {
    size_t count = std::min(size, bytes_.size() - at_);
    if (count > 0) std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return count;
  }
  void rewind() override { at_ = 0; }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

}  // namespace

const char* jobStateName(JobState state) {
  switch (state) {
    case JobState::Queued:
      return "queued";
    case JobState::Printing:
      return "printing";
    case JobState::Error:
      return "error";
    case JobState::Done:
      return "done";
    case JobState::Cancelled:
      return "cancelled";
  }
  return "?";
}

bool jobFinished(JobState state) { return state == JobState::Done || state == JobState::Cancelled; }

JobEvent callEvent(uint64_t time, JobEventKind kind, bool result, DWORD error) {
  JobEvent event{time, kind};
  event.result = result ? TRUE : FALSE;
  event.error = result ? static_cast<DWORD>(NO_ERROR) : error;
  return event;
}

std::unique_ptr<JobDocument> documentOf(std::vector<uint8_t> bytes) {
  return std::make_unique<BytesDocument>(std::move(bytes));
}

PrintJob::PrintJob(DWORD id, std::string printer, std::string name, std::unique_ptr<JobDocument> document,
                   JobObserver observer)
    : id_(id),
      printer_(std::move(printer)),
      name_(std::move(name)),
      document_(std::move(document)),
      observer_(std::move(observer)) {}

std::vector<JobEvent> PrintJob::events() const {
  std::lock_guard<std::mutex> guard(lock_);
  return events_;
}

void PrintJob::record(const JobEvent& event) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(event);
  }
  if (observer_) observer_(*this, event);
}

void PrintJob::setState(JobState state, uint64_t time) {
  JobEvent event{time, JobEventKind::State};
  event.state = state;
  event.error = state == JobState::Error ? lastError() : NO_ERROR;
  // Recorded first, so that whoever sees the new state finds its event.
  record(event);
  state_.store(state);
}

}  // namespace nrv
