// What WaitForSingleObject waits on: the signal state of an event, or of a
// file's own event, guarded by the scheduler's dispatcher lock as the
// kernel's events are, so that waits run on the virtual clock.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "user/process.h"

namespace nrv {

class Scheduler;

struct Signal {
  bool manualReset = true;
  bool signalled = false;
};

// A handle that can be waited on.
class WaitableObject : public HandleObject {
 public:
  virtual std::shared_ptr<Signal> signal() = 0;
};

// CreateEventA's object.
class EventObject : public WaitableObject {
 public:
  EventObject(bool manualReset, bool signalled);
  const char* kind() const override { return "an event"; }
  std::shared_ptr<Signal> signal() override { return signal_; }

 private:
  std::shared_ptr<Signal> signal_;
};

void setSignal(Scheduler& scheduler, Signal& signal);
void resetSignal(Scheduler& scheduler, Signal& signal);
// WAIT_OBJECT_0 once signalled (consuming an auto-reset signal), WAIT_TIMEOUT
// when the milliseconds (INFINITE: none) pass first.
DWORD waitForSignal(Scheduler& scheduler, const std::shared_ptr<Signal>& signal, DWORD milliseconds,
                    std::function<std::string()> describeWait);
// Lets the milliseconds of virtual time pass for the calling thread.
void sleepFor(Scheduler& scheduler, DWORD milliseconds, std::function<std::string()> describeWait);

}  // namespace nrv
