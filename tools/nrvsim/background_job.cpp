#include "background_job.h"

#include "base/text.h"

namespace nrvsim {

BackgroundJob::BackgroundJob(nrv::Machine& machine, std::string name, JobTarget target, bool reads,
                             std::function<JobOutcome()> work)
    : machine_(machine), name_(std::move(name)), target_(std::move(target)), reads_(reads) {
  machine_.startThread("background job " + name_, [this, work = std::move(work)] {
    JobOutcome outcome = work();
    nrv::Scheduler& scheduler = machine_.scheduler();
    std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
    outcome_ = std::move(outcome);
    ended_ = true;
    scheduler.stateChanged();
  });
}

bool BackgroundJob::wait(std::optional<uint64_t> milliseconds) {
  nrv::Scheduler& scheduler = machine_.scheduler();
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  uint64_t deadline = milliseconds ? scheduler.now() + *milliseconds * nrv::Scheduler::kUnitsPerMillisecond
                                   : nrv::Scheduler::kNoDeadline;
  return scheduler.block(
      held, [this] { return ended_; }, deadline,
      [this] { return nrv::format("the end of background job %s", name_.c_str()); });
}

bool BackgroundJob::ended() {
  std::lock_guard<std::mutex> held(machine_.scheduler().dispatcherLock());
  return ended_;
}

}  // namespace nrvsim
