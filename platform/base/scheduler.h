// Virtual time and the machine's threads. Time moves only when every machine
// thread waits: the clock then jumps to the earliest deadline, so a long
// time-out costs no real time and runs the same way every time. When every
// thread waits with no deadline at all, the machine reports the deadlock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "base/thread_context.h"

namespace nrv {

class Scheduler {
 public:
  static constexpr uint64_t kNoDeadline = UINT64_MAX;
  static constexpr uint64_t kUnitsPerMillisecond = 10000;  // the clock counts 100 ns units

  Scheduler() = default;
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Guards the state of every dispatcher object (events) and the scheduler itself.
  std::mutex& dispatcherLock() { return lock_; }

  // Creates the record of a machine thread; the thread binds it when it starts.
  ThreadRecord& addThread(std::string name);
  // Ends a thread's record; waiters for the thread see it finished.
  void finishThread(ThreadRecord& thread);

  // Blocks the calling machine thread until ready() holds or the clock reaches the
  // deadline. The caller holds the dispatcher lock. Returns true when ready.
  bool block(std::unique_lock<std::mutex>& held, const std::function<bool()>& ready, uint64_t deadline,
             std::function<std::string()> describeWait);
  // Wakes blocked threads after a dispatcher object changed; the caller holds the lock.
  void stateChanged() { wakeup_.notify_all(); }

  uint64_t now() const { return now_.load(); }
  uint64_t nowMilliseconds() const { return now_.load() / kUnitsPerMillisecond; }

 private:
  bool everyThreadStuck() const;
  void advanceClockOrReportDeadlock();
  std::string describeWaits() const;

  std::mutex lock_;
  std::condition_variable wakeup_;
  std::atomic<uint64_t> now_{0};
  std::list<std::unique_ptr<ThreadRecord>> threads_;
};

}  // namespace nrv
