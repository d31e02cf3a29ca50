// A spooler job as nrvsim follows it: the document handed to the spooler, and
// the job's record turned into the transcript's lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "events.h"
#include "status_poll_log.h"
#include "user/print_job.h"

namespace nrvsim {

class Document;

// The spooler reads a document a piece at a time, and again from its start when the job is retried.
class SpooledDocument : public nrv::JobDocument {
 public:
  explicit SpooledDocument(std::unique_ptr<Document> document);
  ~SpooledDocument() override;
  size_t read(uint8_t* buffer, size_t size) override;
  void rewind() override;

 private:
  std::unique_ptr<Document> document_;
};

// The job's calls since `firstEvent`, with the printer's status polls since
// `firstPoll` among them in time order: a poll comes within the write it is part of.
std::vector<JobLine> jobLines(const nrv::PrintJob& job, size_t firstEvent, const StatusPollLog* polls,
                              size_t firstPoll);

// "queued", "printing", "error", "done" or "cancelled".
const char* stateText(nrv::JobState state);

}  // namespace nrvsim
