#include "user/waitable.h"

#include <mutex>

#include "base/scheduler.h"

namespace nrv {

namespace {

uint64_t deadlineAfter(Scheduler& scheduler, DWORD milliseconds) {
  if (milliseconds == INFINITE) return Scheduler::kNoDeadline;
  return scheduler.now() + uint64_t(milliseconds) * Scheduler::kUnitsPerMillisecond;
}

}  // namespace

EventObject::EventObject(bool manualReset, bool signalled)
    : signal_(std::make_shared<Signal>(Signal{manualReset, signalled})) {}

void setSignal(Scheduler& scheduler, Signal& signal) {
  std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
  signal.signalled = true;
  scheduler.stateChanged();
}

void resetSignal(Scheduler& scheduler, Signal& signal) {
  std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
  signal.signalled = false;
}

DWORD waitForSignal(Scheduler& scheduler, const std::shared_ptr<Signal>& signal, DWORD milliseconds,
                    std::function<std::string()> describeWait) {
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  Signal& state = *signal;
  if (!state.signalled) {
    if (milliseconds == 0) return WAIT_TIMEOUT;
    bool ready = scheduler.block(
        held, [&state] { return state.signalled; }, deadlineAfter(scheduler, milliseconds),
        std::move(describeWait));
    if (!ready) return WAIT_TIMEOUT;
  }
  if (!state.manualReset) state.signalled = false;
  return WAIT_OBJECT_0;
}

void sleepFor(Scheduler& scheduler, DWORD milliseconds, std::function<std::string()> describeWait) {
  if (milliseconds == 0) return;
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  scheduler.block(
      held, [] { return false; }, deadlineAfter(scheduler, milliseconds), std::move(describeWait));
}

}  // namespace nrv
