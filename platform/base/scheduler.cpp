#include "base/scheduler.h"

#include <algorithm>

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

ThreadRecord& Scheduler::addThread(std::string name) {
  std::lock_guard<std::mutex> guard(lock_);
  threads_.push_back(std::make_unique<ThreadRecord>());
  threads_.back()->name = std::move(name);
  return *threads_.back();
}

void Scheduler::finishThread(ThreadRecord& thread) {
  std::lock_guard<std::mutex> guard(lock_);
  thread.finished = true;
  wakeup_.notify_all();
}

bool Scheduler::block(std::unique_lock<std::mutex>& held, const std::function<bool()>& ready,
                      uint64_t deadline, std::function<std::string()> describeWait) {
  ThreadRecord& self = currentThread("a wait");
  self.blocked = true;
  self.ready = ready;
  self.deadline = deadline;
  self.describeWait = std::move(describeWait);
  bool satisfied;
  for (;;) {
    if (ready()) {
      satisfied = true;
      break;
    }
    if (now_.load() >= deadline) {
      satisfied = false;
      break;
    }
    if (everyThreadStuck()) {
      advanceClockOrReportDeadlock();
      continue;
    }
    wakeup_.wait(held);
  }
  self.blocked = false;
  self.ready = nullptr;
  self.describeWait = nullptr;
  return satisfied;
}

// A thread is stuck when it waits, its condition does not hold and its deadline
// has not come; a thread that is running, or could run, keeps the clock still.
bool Scheduler::everyThreadStuck() const {
  for (const auto& thread : threads_) {
    if (thread->finished) continue;
    if (!thread->blocked) return false;
    if (thread->ready() || now_.load() >= thread->deadline) return false;
  }
  return true;
}

void Scheduler::advanceClockOrReportDeadlock() {
  uint64_t earliest = kNoDeadline;
  for (const auto& thread : threads_) {
    if (!thread->finished) earliest = std::min(earliest, thread->deadline);
  }
  if (earliest == kNoDeadline) {
    bugCheck("DEADLOCK", "every machine thread waits and none has a time limit:\n" + describeWaits());
  }
  now_.store(earliest);
  wakeup_.notify_all();
}

std::string Scheduler::describeWaits() const {
  std::string text;
  for (const auto& thread : threads_) {
    if (thread->finished) continue;
    std::string wait = thread->blocked && thread->describeWait ? thread->describeWait() : "nothing (running)";
    text += format("      thread '%s' at %s: %s\n", thread->name.c_str(), irqlName(thread->irql), wait.c_str());
  }
  return text;
}

}  // namespace nrv
