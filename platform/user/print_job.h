// A print job as the spooler keeps it: its document, where it stands, and
// the record of every call the spooler made to the port for it, each with
// the virtual time it ended at. Whoever submitted the job may watch the
// record grow through an observer, called on the thread that made the call.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

enum class JobState {
  Queued,     // waiting for its port, or for its thread to start
  Printing,   // its thread hands the document to the port
  Error,      // a write failed or moved nothing for too long; it holds its port until retried or cancelled
  Done,       // every byte was taken and the document ended
  Cancelled,  // cancelled, or still unfinished when the spooler stopped
};
const char* jobStateName(JobState state);
bool jobFinished(JobState state);

enum class JobEventKind { OpenPort, StartDocPort, WritePort, EndDocPort, State };

struct JobEvent {
  uint64_t time;  // virtual milliseconds
  JobEventKind kind;
  BOOL result = TRUE;
  DWORD error = NO_ERROR;  // the last error the call left, for a call that failed
  DWORD asked = 0;         // WritePort
  DWORD taken = 0;
  JobState state = JobState::Queued;  // State
};

// A call's event: its result and, when it failed, the error it left.
JobEvent callEvent(uint64_t time, JobEventKind kind, bool result, DWORD error);

// The bytes a job prints, read a piece at a time; a restarted job reads them again from the start.
class JobDocument {
 public:
  virtual ~JobDocument() = default;
  // Up to `size` bytes into `buffer`; 0 at the end.
  virtual size_t read(uint8_t* buffer, size_t size) = 0;
  virtual void rewind() = 0;
};
std::unique_ptr<JobDocument> documentOf(std::vector<uint8_t> bytes);

using JobObserver = std::function<void(const class PrintJob& job, const JobEvent& event)>;

class PrintJob {
 public:
  PrintJob(DWORD id, std::string printer, std::string name, std::unique_ptr<JobDocument> document,
           JobObserver observer);
  PrintJob(const PrintJob&) = delete;
  PrintJob& operator=(const PrintJob&) = delete;

  DWORD id() const { return id_; }
  const std::string& printer() const { return printer_; }
  const std::string& name() const { return name_; }
  JobState state() const { return state_.load(); }
  // The error that put the job in error; kept when it is retried or cancelled.
  DWORD lastError() const { return lastError_.load(); }
  // Bytes the port took since the job last started.
  uint64_t bytesTaken() const { return bytesTaken_.load(); }
  std::vector<JobEvent> events() const;

  // For the spooler: its record grows, and the observer hears of each event, outside any lock.
  void record(const JobEvent& event);
  void setState(JobState state, uint64_t time);
  void setLastError(DWORD error) { lastError_.store(error); }
  void addTaken(DWORD bytes) { bytesTaken_.fetch_add(bytes); }
  void resetTaken() { bytesTaken_.store(0); }
  JobDocument& document() { return *document_; }

 private:
  DWORD id_;
  std::string printer_;
  std::string name_;
  std::unique_ptr<JobDocument> document_;
  JobObserver observer_;
  std::atomic<JobState> state_{JobState::Queued};
  std::atomic<DWORD> lastError_{NO_ERROR};
  std::atomic<uint64_t> bytesTaken_{0};
  mutable std::mutex lock_;
  std::vector<JobEvent> events_;  // guarded by lock_
};

}  // namespace nrv
