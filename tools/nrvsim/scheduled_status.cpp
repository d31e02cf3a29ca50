#include "scheduled_status.h"

#include "base/text.h"

namespace nrvsim {

uint8_t changedStatus(const StatusCommand& change, uint8_t present) {
  switch (change.change) {
    case StatusCommand::Change::PaperOut:
      return static_cast<uint8_t>((present | nrv::kPortStatusPaperEmpty) & ~nrv::kPortStatusNoError);
    case StatusCommand::Change::PaperIn:
      return static_cast<uint8_t>((present & ~nrv::kPortStatusPaperEmpty) | nrv::kPortStatusNoError);
    case StatusCommand::Change::Byte:
      break;
  }
  return change.status;
}

ScheduledStatus::ScheduledStatus(nrv::Machine& machine, nrv::SimulatedPrinter& model, std::string printer,
                                 StatusCommand change)
    : machine_(machine), printer_(std::move(printer)) {
  nrv::Scheduler& scheduler = machine_.scheduler();
  uint64_t deadline = scheduler.now() + change.after.value_or(0) * nrv::Scheduler::kUnitsPerMillisecond;
  machine_.startThread("status change of " + printer_, [this, &model, change, deadline] {
    nrv::Scheduler& scheduler = machine_.scheduler();
    std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
    bool withdrawn = scheduler.block(
        held, [this] { return withdrawn_; }, deadline,
        [this] { return nrv::format("the moment of %s's status change", printer_.c_str()); });
    if (!withdrawn) {
      // The printer wakes whoever waits for it, which takes the dispatcher lock.
      held.unlock();
      model.setPortStatus(changedStatus(change, model.portStatus()));
      held.lock();
    }
    ended_ = true;
    scheduler.stateChanged();
  });
}

ScheduledStatus::~ScheduledStatus() { withdraw(); }

void ScheduledStatus::withdraw() {
  nrv::Scheduler& scheduler = machine_.scheduler();
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  withdrawn_ = true;
  scheduler.stateChanged();
  scheduler.block(
      held, [this] { return ended_; }, nrv::Scheduler::kNoDeadline,
      [this] { return nrv::format("the end of %s's status change", printer_.c_str()); });
}

}  // namespace nrvsim
