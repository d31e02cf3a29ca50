#include "spooler_job_record.h"

#include <algorithm>

#include "print_job.h"

namespace nrvsim {

namespace {

std::optional<JobLine::Kind> lineKind(nrv::JobEventKind kind) {
  switch (kind) {
    case nrv::JobEventKind::OpenPort:
      return JobLine::Kind::OpenPort;
    case nrv::JobEventKind::StartDocPort:
      return JobLine::Kind::StartDocPort;
    case nrv::JobEventKind::WritePort:
      return JobLine::Kind::WritePort;
    case nrv::JobEventKind::EndDocPort:
      return JobLine::Kind::EndDocPort;
    case nrv::JobEventKind::State:
      break;
  }
  return std::nullopt;
}

}  // namespace

SpooledDocument::SpooledDocument(std::unique_ptr<Document> document) : document_(std::move(document)) {}

SpooledDocument::~SpooledDocument() = default;

size_t SpooledDocument::read(uint8_t* buffer, size_t size) { return document_->read(buffer, size); }

void SpooledDocument::rewind() { document_->rewind(); }

std::vector<JobLine> jobLines(const nrv::PrintJob& job, size_t firstEvent, const StatusPollLog* polls,
                              size_t firstPoll) {
  std::vector<JobLine> lines;
  std::vector<nrv::JobEvent> events = job.events();
  for (size_t index = firstEvent; index < events.size(); index++) {
    const nrv::JobEvent& event = events[index];
    std::optional<JobLine::Kind> kind = lineKind(event.kind);
    if (!kind) continue;
    JobLine line;
    line.milliseconds = event.time;
    line.kind = *kind;
    line.result = SpoolerResult{event.result != FALSE, event.result != FALSE ? 0u : event.error};
    line.asked = event.asked;
    line.taken = event.taken;
    lines.push_back(line);
  }
  if (polls == nullptr) return lines;
  for (const StatusPollLog::Poll& poll : polls->since(firstPoll)) {
    JobLine line;
    line.milliseconds = poll.milliseconds;
    line.status = poll.status;
    auto after = std::find_if(lines.begin(), lines.end(), [&](const JobLine& other) {
      return other.milliseconds >= poll.milliseconds && other.kind != JobLine::Kind::StatusPoll;
    });
    lines.insert(after, line);
  }
  return lines;
}

const char* stateText(nrv::JobState state) {
  switch (state) {
    case nrv::JobState::Queued:
      return "queued";
    case nrv::JobState::Printing:
      return "printing";
    case nrv::JobState::Error:
      return "error";
    case nrv::JobState::Done:
      return "done";
    case nrv::JobState::Cancelled:
      return "cancelled";
  }
  return "unknown";
}

}  // namespace nrvsim
