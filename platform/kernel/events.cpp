// Events and waits on the machine's virtual clock.
#include <wdm.h>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/wait_log.h"

namespace nrv {

namespace {

constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(LONG);
// System time of the machine's boot: 1 January 2000, in 100 ns units since 1601.
constexpr LONGLONG kBootSystemTime = 0x01BF53EB256D4000LL;
// The interval timer ticks every 15.625 ms.
constexpr ULONG kTimeIncrement = 156250;

// An event is usable only where KeInitializeEvent put it: a copied or
// never-initialized event would corrupt a real kernel's wait lists.
void checkEvent(PRKEVENT event, const char* service, const void* caller) {
  const DISPATCHER_HEADER& header = event->Header;
  if (header.Type > SynchronizationEvent || header.Size != kEventSize ||
      header.WaitListHead.Flink != &event->Header.WaitListHead) {
    bugCheck("INVALID_EVENT", format("%s(%p) from %s: not an initialized event (never passed to "
                                     "KeInitializeEvent, or copied since)",
                                     service, static_cast<void*>(event), describeCodeAddress(caller).c_str()));
  }
}

uint64_t deadlineFor(PLARGE_INTEGER timeout, uint64_t now) {
  if (timeout == nullptr) return Scheduler::kNoDeadline;
  if (timeout->QuadPart < 0) return now + static_cast<uint64_t>(-timeout->QuadPart);
  LONGLONG sinceBoot = timeout->QuadPart - kBootSystemTime;
  return sinceBoot <= 0 ? now : std::max<uint64_t>(now, static_cast<uint64_t>(sinceBoot));
}

NTSTATUS waitFor(const std::function<bool()>& ready, const std::function<void()>& consume, PLARGE_INTEGER timeout,
                 std::function<std::string()> describe) {
  Scheduler& scheduler = nrv::currentKernel().scheduler;
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  if (!ready()) {
    if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;
    if (!scheduler.block(held, ready, deadlineFor(timeout, scheduler.now()), std::move(describe))) {
      return STATUS_TIMEOUT;
    }
  }
  consume();
  return STATUS_SUCCESS;
}

void requireNonAlertable(BOOLEAN alertable, const char* service) {
  if (alertable) {
    bugCheck("NOT_IMPLEMENTED", format("%s: alertable waits are not simulated by this machine", service));
  }
}

}  // namespace

}  // namespace nrv

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Absolute = 0;
  Event->Header.Size = nrv::kEventSize;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  nrv::checkEvent(Event, "KeSetEvent", __builtin_return_address(0));
  if (Wait) nrv::bugCheck("NOT_IMPLEMENTED", "KeSetEvent with Wait set to TRUE is not simulated by this machine");
  nrv::Scheduler& scheduler = nrv::currentKernel().scheduler;
  std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  scheduler.stateChanged();
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  nrv::checkEvent(Event, "KeResetEvent", __builtin_return_address(0));
  std::lock_guard<std::mutex> held(nrv::currentKernel().scheduler.dispatcherLock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
  nrv::checkEvent(Event, "KeClearEvent", __builtin_return_address(0));
  std::lock_guard<std::mutex> held(nrv::currentKernel().scheduler.dispatcherLock());
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  nrv::checkEvent(Event, "KeReadStateEvent", __builtin_return_address(0));
  std::lock_guard<std::mutex> held(nrv::currentKernel().scheduler.dispatcherLock());
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitMode);
  const void* caller = __builtin_return_address(0);
  nrv::ThreadRecord& thread = nrv::currentThread("KeWaitForSingleObject");
  if (!thread.driverCalls.empty()) nrv::currentKernel().waits.record(thread.driverCalls.back(), WaitReason);
  bool polls = Timeout != nullptr && Timeout->QuadPart == 0;
  nrv::requireIrqlAtMost(polls ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
  nrv::requireNonAlertable(Alertable, "KeWaitForSingleObject");
  auto* event = static_cast<PRKEVENT>(Object);
  nrv::checkEvent(event, "KeWaitForSingleObject", caller);
  return nrv::waitFor([event] { return event->Header.SignalState != 0; },
                      [event] {
                        if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
                      },
                      Timeout,
                      [event, caller] {
                        return nrv::format("KeWaitForSingleObject on %s event %p, called from %s",
                                           event->Header.Type == SynchronizationEvent ? "synchronization"
                                                                                      : "notification",
                                           static_cast<void*>(event), nrv::describeCodeAddress(caller).c_str());
                      });
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  nrv::requireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  nrv::requireNonAlertable(Alertable, "KeDelayExecutionThread");
  const void* caller = __builtin_return_address(0);
  nrv::waitFor([] { return false; }, [] {}, Interval, [caller] {
    return nrv::format("KeDelayExecutionThread, called from %s", nrv::describeCodeAddress(caller).c_str());
  });
  return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = nrv::kBootSystemTime + static_cast<LONGLONG>(nrv::currentKernel().scheduler.now());
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(nrv::currentKernel().scheduler.now() / nrv::kTimeIncrement);
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return nrv::kTimeIncrement; }

}  // extern "C"
