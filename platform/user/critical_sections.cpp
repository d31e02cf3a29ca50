#include "user/critical_sections.h"

#include <mutex>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/call_checks.h"

namespace nrv {

namespace {

std::string holderName(const ThreadRecord* owner) {
  return owner == nullptr ? std::string("no thread") : "thread '" + owner->name + "'";
}

}  // namespace

CriticalSections::CriticalSections(Scheduler& scheduler) : scheduler_(scheduler) {}

CriticalSections::Section& CriticalSections::usable(LPCRITICAL_SECTION section, const char* service,
                                                    const void* caller) {
  auto found = sections_.find(section);
  if (found == sections_.end()) {
    bugCheck(
        "CRITICAL_SECTION_NOT_INITIALIZED",
        format("%s(%p) from %s: the critical section was never passed to InitializeCriticalSection (or was "
               "copied since)",
               service, static_cast<void*>(section), describeCodeAddress(caller).c_str()));
  }
  if (found->second.deleted) {
    bugCheck("CRITICAL_SECTION_DELETED",
             format("%s(%p) from %s: the critical section has been deleted", service,
                    static_cast<void*>(section), describeCodeAddress(caller).c_str()));
  }
  return found->second;
}

void CriticalSections::initialize(LPCRITICAL_SECTION section, const void* caller) {
  requirePointer(section, "InitializeCriticalSection", "lpCriticalSection", caller);
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  auto found = sections_.find(section);
  if (found != sections_.end() && !found->second.deleted) {
    bugCheck(
        "CRITICAL_SECTION_ALREADY_INITIALIZED",
        format("InitializeCriticalSection(%p) from %s: the critical section is initialised already and was "
               "never deleted",
               static_cast<void*>(section), describeCodeAddress(caller).c_str()));
  }
  sections_[section] = Section{};
  // What Windows shows of a free section, for whoever looks at the record.
  *section = CRITICAL_SECTION{};
  section->LockCount = -1;
}

void CriticalSections::enter(LPCRITICAL_SECTION section, const void* caller) {
  ThreadRecord& self = currentThread("EnterCriticalSection");
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  Section& state = usable(section, "EnterCriticalSection", caller);
  if (state.owner == &self) {
    state.recursion++;
    return;
  }
  if (state.owner != nullptr) {
    waiters_[&self] = Waiter{section, caller};
    reportCycle(self, state, section, caller);
    state.queue.push_back(&self);
    scheduler_.block(
        held, [&state, &self] { return state.owner == &self; }, Scheduler::kNoDeadline,
        [this, &self, section, caller] { return describeWait(self, section, caller); });
    waiters_.erase(&self);
  }
  state.owner = &self;
  state.recursion = 1;
  state.enteredFrom = caller;
}

void CriticalSections::leave(LPCRITICAL_SECTION section, const void* caller) {
  ThreadRecord& self = currentThread("LeaveCriticalSection");
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  Section& state = usable(section, "LeaveCriticalSection", caller);
  if (state.owner != &self) {
    bugCheck("CRITICAL_SECTION_NOT_OWNED",
             format("LeaveCriticalSection(%p) from %s on thread '%s': the critical section is held by %s",
                    static_cast<void*>(section), describeCodeAddress(caller).c_str(), self.name.c_str(),
                    holderName(state.owner).c_str()));
  }
  if (--state.recursion == 0) {
    state.owner = nullptr;
    if (!state.queue.empty()) {
      state.owner = state.queue.front();
      state.queue.pop_front();
    }
    scheduler_.stateChanged();
  }
}

void CriticalSections::remove(LPCRITICAL_SECTION section, const void* caller) {
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  Section& state = usable(section, "DeleteCriticalSection", caller);
  if (state.owner != nullptr) {
    bugCheck("CRITICAL_SECTION_DELETED_WHILE_HELD",
             format("DeleteCriticalSection(%p) from %s: the critical section is held by %s, entered from %s",
                    static_cast<void*>(section), describeCodeAddress(caller).c_str(),
                    holderName(state.owner).c_str(), describeCodeAddress(state.enteredFrom).c_str()));
  }
  for (const auto& [thread, waiter] : waiters_) {
    if (waiter.section != section) continue;
    bugCheck("CRITICAL_SECTION_DELETED_WHILE_HELD",
             format("DeleteCriticalSection(%p) from %s: thread '%s' waits to enter it",
                    static_cast<void*>(section), describeCodeAddress(caller).c_str(), thread->name.c_str()));
  }
  state.deleted = true;
}

void CriticalSections::checkThreadEnd(const ThreadRecord& thread) {
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  for (const auto& [section, state] : sections_) {
    if (state.owner != &thread) continue;
    bugCheck("CRITICAL_SECTION_HELD_AT_THREAD_END",
             format("thread '%s' ended holding critical section %p, entered from %s; threads waiting for it "
                    "would wait for ever",
                    thread.name.c_str(), section, describeCodeAddress(state.enteredFrom).c_str()));
  }
}

const void* CriticalSections::liveWithin(const void* begin, size_t size) {
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  const char* end = static_cast<const char*>(begin) + size;
  for (auto found = sections_.lower_bound(begin); found != sections_.end() && found->first < end; ++found) {
    if (!found->second.deleted) return found->first;
  }
  return nullptr;
}

void CriticalSections::forgetWithin(const void* begin, size_t size) {
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  const char* end = static_cast<const char*>(begin) + size;
  auto first = sections_.lower_bound(begin);
  auto last = first;
  while (last != sections_.end() && last->first < end) ++last;
  sections_.erase(first, last);
}

std::string CriticalSections::describeWait(const ThreadRecord& thread, const void* section,
                                           const void* caller) {
  auto found = sections_.find(section);
  const ThreadRecord* owner = found == sections_.end() ? nullptr : found->second.owner;
  return format("thread '%s' waits in EnterCriticalSection(%p) from %s for the section held by %s",
                thread.name.c_str(), section, describeCodeAddress(caller).c_str(), holderName(owner).c_str());
}

// Follows the holders: a chain of waits that comes back to this thread never ends.
void CriticalSections::reportCycle(const ThreadRecord& self, const Section& wanted,
                                   LPCRITICAL_SECTION section, const void* caller) {
  std::string chain = "      " + describeWait(self, section, caller) + "\n";
  const ThreadRecord* holder = wanted.owner;
  for (size_t step = 0; step <= waiters_.size(); step++) {
    if (holder == &self) {
      bugCheck("DEADLOCK", "threads wait for each other's critical sections:\n" + chain);
    }
    auto waiting = waiters_.find(holder);
    if (waiting == waiters_.end()) return;
    chain += "      " + describeWait(*holder, waiting->second.section, waiting->second.caller) + "\n";
    holder = sections_[waiting->second.section].owner;
  }
}

}  // namespace nrv
