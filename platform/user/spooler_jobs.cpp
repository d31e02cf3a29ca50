// The spooler's jobs: each runs on a thread of the spooler's process while it
// has its port, and hands the port its document a piece at a time.
//
// Lock order: lock_, then the dispatcher lock. Neither is held across a call
// to a monitor or to a job's observer.
#include <algorithm>
#include <vector>

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/process.h"
#include "user/spooler.h"

namespace nrv {

uint64_t Spooler::now() const { return scheduler_.nowMilliseconds(); }

// Callers hold lock_.
Spooler::JobEntry* Spooler::entryOf(const PrintJob& job) {
  for (const auto& entry : jobs_) {
    if (entry->job.get() == &job) return entry.get();
  }
  bugCheck("INVALID_PARAMETER", format("job %u was not sent to this machine's spooler", job.id()));
}

std::shared_ptr<PrintJob> Spooler::submitJob(const std::string& printerName, const std::string& name,
                                             std::unique_ptr<JobDocument> document, JobObserver observer) {
  if (!running()) return nullptr;
  std::shared_ptr<PrinterQueue> queue = printer(printerName);
  if (queue == nullptr || queue->pendingDeletion()) return nullptr;
  JobEntry* entry = nullptr;
  bool startsNow = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return nullptr;
    auto job = std::make_shared<PrintJob>(nextJobId_++, queue->name(), name, std::move(document),
                                          std::move(observer));
    jobs_.push_back(std::unique_ptr<JobEntry>(new JobEntry{job, queue, spooledPort(queue->port())}));
    entry = jobs_.back().get();
    SpooledPort& port = *entry->port;
    startsNow = port.holder == nullptr;
    if (startsNow) {
      port.holder = entry;
      entry->phase = JobPhase::Running;
    } else {
      port.waiting.push_back(entry);
    }
  }
  entry->job->setState(JobState::Queued, now());
  if (startsNow) startJobThread(*entry);
  return entry->job;
}

std::vector<std::shared_ptr<PrintJob>> Spooler::jobs(const std::string& printerName) {
  std::vector<std::shared_ptr<PrintJob>> found;
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& entry : jobs_) {
    if (sameName(entry->printer->name(), printerName)) found.push_back(entry->job);
  }
  return found;
}

JobState Spooler::waitForJob(PrintJob& job, uint64_t timeoutMilliseconds) {
  JobEntry* entry = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entry = entryOf(job);
  }
  uint64_t deadline = timeoutMilliseconds == Scheduler::kNoDeadline
                          ? Scheduler::kNoDeadline
                          : scheduler_.now() + timeoutMilliseconds * Scheduler::kUnitsPerMillisecond;
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.block(
      held, [&job, entry] { return entry->stopped.load() || jobFinished(job.state()); }, deadline,
      [&job] { return format("the end of print job %u", job.id()); });
  return job.state();
}

bool Spooler::retryJob(PrintJob& job) {
  JobEntry* entry = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entry = entryOf(job);
    if (stopping_ || entry->phase != JobPhase::Stopped) return false;
    entry->phase = JobPhase::Running;
    entry->stopped.store(false);
    entry->cancelRequested.store(false);
  }
  job.setState(JobState::Queued, now());
  startJobThread(*entry);
  return true;
}

bool Spooler::cancelJob(PrintJob& job) {
  JobEntry* entry = nullptr;
  JobPhase phase;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entry = entryOf(job);
    phase = entry->phase;
    if (phase == JobPhase::Waiting) {
      std::erase(entry->port->waiting, entry);
      entry->phase = JobPhase::Ended;
      retireIfIdle(entry->printer);
    } else if (phase == JobPhase::Running) {
      entry->cancelRequested.store(true);
    } else if (phase == JobPhase::Stopped) {
      entry->phase = JobPhase::Running;  // this thread acts for it now
      entry->stopped.store(false);
    }
  }
  switch (phase) {
    case JobPhase::Waiting:
      job.setState(JobState::Cancelled, now());
      return true;
    case JobPhase::Running: {
      // Wakes a job pausing after a write that moved nothing.
      std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
      scheduler_.stateChanged();
      return true;
    }
    case JobPhase::Stopped:
      onSpoolerThread(format("the cancel of job %u", job.id()),
                      [this, entry] { endDocument(*entry, JobState::Cancelled); });
      return true;
    case JobPhase::Ended:
      return false;
  }
  return false;
}

void Spooler::startJobThread(JobEntry& entry) {
  {
    std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
    jobThreads_++;
  }
  process_->startThread(format("job %u", entry.job->id()), [this, &entry] {
    runJob(entry);
    std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
    jobThreads_--;
    scheduler_.stateChanged();
  });
}

void Spooler::runJob(JobEntry& entry) {
  PrintJob& job = *entry.job;
  SpooledPort& port = *entry.port;
  DWORD error = NO_ERROR;
  Outcome outcome = Outcome::Error;
  if (entry.cancelRequested.load()) {
    outcome = Outcome::Cancelled;
  } else if (openSpooledPort(port, &error, &job)) {
    job.setState(JobState::Printing, now());
    outcome = printDocument(entry, &error);
  }
  if (outcome == Outcome::Error) {
    job.setLastError(error);
    job.setState(JobState::Error, now());
    // A cancel that came while the job was going into error is carried out below.
    if (settleInError(entry)) return;
  }
  endDocument(entry, outcome == Outcome::Done ? JobState::Done : JobState::Cancelled);
}

bool Spooler::settleInError(JobEntry& entry) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (entry.cancelRequested.load()) return false;
    entry.phase = JobPhase::Stopped;
    entry.stopped.store(true);
  }
  std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
  scheduler_.stateChanged();
  return true;
}

// StartDocPort, then WritePort until every byte is taken. A restarted job
// begins its document again on the port without ending it first.
Spooler::Outcome Spooler::printDocument(JobEntry& entry, DWORD* error) {
  PrintJob& job = *entry.job;
  SpooledPort& port = *entry.port;
  job.resetTaken();
  job.document().rewind();
  bool started = port.monitor->startDocPort(port.handle, job.printer(), job.id(), job.name(), error);
  job.record(callEvent(now(), JobEventKind::StartDocPort, started, *error));
  if (!started) return Outcome::Error;
  port.documentOpen = true;
  std::vector<uint8_t> piece(kPieceSize);
  for (;;) {
    if (entry.cancelRequested.load()) return Outcome::Cancelled;
    size_t count = job.document().read(piece.data(), piece.size());
    if (count == 0) return Outcome::Done;
    size_t at = 0;
    uint64_t stallStart = 0;
    bool stalled = false;
    while (at < count) {
      if (entry.cancelRequested.load()) return Outcome::Cancelled;
      DWORD asked = static_cast<DWORD>(count - at);
      DWORD written = 0;
      *error = NO_ERROR;
      bool wrote = port.monitor->writePort(port.handle, piece.data() + at, asked, &written, error);
      JobEvent write = callEvent(now(), JobEventKind::WritePort, wrote, *error);
      write.asked = asked;
      write.taken = written;
      job.record(write);
      job.addTaken(written);
      at += written;
      if (!wrote) return Outcome::Error;
      if (written > 0) {
        stalled = false;
        continue;
      }
      if (!stalled) {
        stalled = true;
        stallStart = now();
      }
      // A retry timeout of 0 lets the job wait for the printer for ever.
      DWORD retry = entry.printer->timeouts().retry;
      if (retry != 0 && now() - stallStart >= retry) {
        *error = ERROR_TIMEOUT;
        return Outcome::Error;
      }
      pauseAfterStall(entry);
    }
  }
}

void Spooler::pauseAfterStall(JobEntry& entry) {
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.block(
      held, [&entry] { return entry.cancelRequested.load(); },
      scheduler_.now() + kStallPauseMilliseconds * Scheduler::kUnitsPerMillisecond,
      [&entry] {
        return format("the pause of print job %u after a write that moved nothing", entry.job->id());
      });
}

// On the thread acting for the job: the document ends, the job with it, and the port goes to the next job.
void Spooler::endDocument(JobEntry& entry, JobState state) {
  SpooledPort& port = *entry.port;
  if (port.documentOpen) {
    DWORD error = NO_ERROR;
    bool ended = port.monitor->endDocPort(port.handle, &error);
    port.documentOpen = false;
    entry.job->record(callEvent(now(), JobEventKind::EndDocPort, ended, error));
  }
  entry.job->setState(state, now());
  releasePort(entry);
}

void Spooler::releasePort(JobEntry& entry) {
  JobEntry* next = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    entry.phase = JobPhase::Ended;
    entry.stopped.store(false);
    retireIfIdle(entry.printer);
    SpooledPort& port = *entry.port;
    port.holder = nullptr;
    if (!port.waiting.empty()) {
      next = port.waiting.front();
      port.waiting.pop_front();
      port.holder = next;
      next->phase = JobPhase::Running;
    }
  }
  if (next != nullptr) startJobThread(*next);
}

// A write the printer never takes would keep a job's thread for ever.
void Spooler::waitForJobThreads(const std::function<void()>& whenStuck) {
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.stateChanged();
  auto ended = [this] { return jobThreads_ == 0; };
  auto describe = [] { return std::string("the spooler's jobs to end as it stops"); };
  uint64_t deadline = whenStuck ? scheduler_.now() + kStopWaitMilliseconds * Scheduler::kUnitsPerMillisecond
                                : Scheduler::kNoDeadline;
  if (scheduler_.block(held, ended, deadline, describe)) return;
  held.unlock();
  whenStuck();
  held.lock();
  scheduler_.block(held, ended, Scheduler::kNoDeadline, describe);
}

void Spooler::endJobs(const std::function<void()>& whenStuck) {
  if (!running()) return;
  std::vector<JobEntry*> dropped;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (const auto& entry : jobs_) {
      if (entry->phase == JobPhase::Waiting) {
        std::erase(entry->port->waiting, entry.get());
        entry->phase = JobPhase::Ended;
        retireIfIdle(entry->printer);
        dropped.push_back(entry.get());
      }
      if (entry->phase == JobPhase::Running) entry->cancelRequested.store(true);
    }
  }
  for (JobEntry* entry : dropped) entry->job->setState(JobState::Cancelled, now());
  waitForJobThreads(whenStuck);
  onSpoolerThread("the end of the jobs", [this] {
    std::vector<JobEntry*> inError;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const auto& entry : jobs_) {
        if (entry->phase == JobPhase::Stopped) inError.push_back(entry.get());
      }
    }
    for (JobEntry* entry : inError) endDocument(*entry, JobState::Cancelled);
    for (const auto& port : spooledPorts_) {
      HANDLE handle = nullptr;
      {
        std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
        if (!port->opened) continue;
        handle = port->handle;
        port->opened = false;
        port->handle = nullptr;
      }
      DWORD error = NO_ERROR;
      port->monitor->closePort(handle, &error);
    }
  });
}

}  // namespace nrv
