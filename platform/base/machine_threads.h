// The machine's threads: the main thread that built the machine, and the
// threads it starts for work of its own (power IRPs at PASSIVE_LEVEL, Plug and
// Play operations, background jobs). Each is registered with the scheduler
// before it runs, so the virtual clock and deadlock detection see it.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/scheduler.h"

namespace nrv {

class MachineThreads {
 public:
  // Binds the calling thread as the machine's main thread.
  explicit MachineThreads(Scheduler& scheduler);
  // Unbinds the main thread; threads still running after a stop are left to the process's end.
  ~MachineThreads();
  MachineThreads(const MachineThreads&) = delete;
  MachineThreads& operator=(const MachineThreads&) = delete;

  // Runs body on a new machine thread. Threads that have ended are joined
  // as new ones start, so that a long run of short threads keeps none of them.
  void start(std::string name, std::function<void()> body);
  // Waits (in virtual time) until every thread started so far has ended,
  // including threads those threads started meanwhile.
  void joinAll();

 private:
  struct Started {
    ThreadRecord* record;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> ended;  // the thread's last act sets it
  };

  // Callers hold lock_.
  void joinEnded();

  Scheduler& scheduler_;
  std::mutex lock_;
  std::list<Started> started_;
};

}  // namespace nrv
