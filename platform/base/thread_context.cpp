#include "base/thread_context.h"

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/symbolizer.h"

namespace nrv {

namespace {
thread_local ThreadRecord* boundThread = nullptr;
}

ThreadRecord& currentThread(const char* service) {
  if (boundThread == nullptr) {
    bugCheck("UNKNOWN_THREAD",
             format("%s was called from a thread the machine does not run; start threads with "
                    "Machine::startThread",
                    service));
  }
  return *boundThread;
}

ThreadRecord* currentThreadOrNull() { return boundThread; }

void bindCurrentThread(ThreadRecord* record) { boundThread = record; }

const char* irqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    default:
      return "a device IRQL";
  }
}

void requireIrqlAtMost(KIRQL maximum, const char* service) {
  KIRQL irql = currentThread(service).irql;
  if (irql > maximum) {
    bugCheck("IRQL_NOT_LESS_OR_EQUAL",
             format("%s was called at %s; it may only be called at or below %s", service, irqlName(irql),
                    irqlName(maximum)));
  }
}

void checkRoutineReturn(const ThreadRecord& thread, const char* role, const void* routine, KIRQL irql,
                        size_t spinLocksHeld) {
  if (thread.heldSpinLocks.size() > spinLocksHeld) {
    bugCheck("SPIN_LOCK_NOT_RELEASED", format("the %s %s returned holding spin lock %p", role,
                                              describeCodeAddress(routine).c_str(),
                                              static_cast<void*>(thread.heldSpinLocks.back())));
  }
  if (thread.irql != irql) {
    bugCheck("IRQL_UNEXPECTED_VALUE", format("the %s %s was called at %s and returned at %s", role,
                                             describeCodeAddress(routine).c_str(), irqlName(irql),
                                             irqlName(thread.irql)));
  }
}

DriverCallScope::DriverCallScope(PDRIVER_OBJECT driver) : thread_(currentThread("a driver routine")) {
  thread_.driverCalls.push_back(driver);
}

DriverCallScope::~DriverCallScope() { thread_.driverCalls.pop_back(); }

}  // namespace nrv
