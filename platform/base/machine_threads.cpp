#include "base/machine_threads.h"

#include "base/text.h"

namespace nrv {

MachineThreads::MachineThreads(Scheduler& scheduler) : scheduler_(scheduler) {
  bindCurrentThread(&scheduler_.addThread("main"));
}

MachineThreads::~MachineThreads() {
  for (Started& thread : started_) {
    if (thread.thread.joinable()) thread.thread.detach();
  }
  bindCurrentThread(nullptr);
}

void MachineThreads::start(std::string name, std::function<void()> body) {
  ThreadRecord& record = scheduler_.addThread(std::move(name));
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard<std::mutex> guard(lock_);
  joinEnded();
  started_.push_back(Started{&record, std::thread([this, &record, ended, body = std::move(body)] {
                               bindCurrentThread(&record);
                               body();
                               bindCurrentThread(nullptr);
                               scheduler_.finishThread(record);
                               ended->store(true);
                             }),
                             ended});
}

void MachineThreads::joinEnded() {
  for (auto thread = started_.begin(); thread != started_.end();) {
    if (thread->ended->load()) {
      thread->thread.join();
      thread = started_.erase(thread);
    } else {
      ++thread;
    }
  }
}

// Threads may start more threads while others are joined: take the list in turns.
void MachineThreads::joinAll() {
  for (;;) {
    std::list<Started> batch;
    {
      std::lock_guard<std::mutex> guard(lock_);
      batch.swap(started_);
    }
    if (batch.empty()) return;
    for (Started& thread : batch) {
      ThreadRecord* record = thread.record;
      std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
      scheduler_.block(
          held, [record] { return record->finished; }, Scheduler::kNoDeadline,
          [record] { return format("the end of thread '%s'", record->name.c_str()); });
    }
    for (Started& thread : batch) thread.thread.join();
  }
}

}  // namespace nrv
