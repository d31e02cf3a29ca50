// A process's critical sections. The program embeds each CRITICAL_SECTION
// where it likes; the machine keeps the section's state beside it, keyed by
// its address, and checks every use: a section never initialised, used after
// deletion, initialised twice, left by a thread that does not hold it,
// deleted while held or waited for, or held by a thread that ends stops the
// machine. Waits are the scheduler's, so virtual time runs on, and threads
// that wait for each other's sections are reported as a deadlock at once.
// A section left while threads wait for it passes to the one that has waited
// longest, so which thread gets it never depends on how the host runs them.
#pragma once

#include <winbase.h>

#include <cstddef>
#include <deque>
#include <map>
#include <string>

namespace nrv {

class Scheduler;
struct ThreadRecord;

class CriticalSections {
 public:
  explicit CriticalSections(Scheduler& scheduler);
  CriticalSections(const CriticalSections&) = delete;
  CriticalSections& operator=(const CriticalSections&) = delete;

  void initialize(LPCRITICAL_SECTION section, const void* caller);
  // Recursive: the holder may enter again, and leaves as often as it entered.
  void enter(LPCRITICAL_SECTION section, const void* caller);
  void leave(LPCRITICAL_SECTION section, const void* caller);
  void remove(LPCRITICAL_SECTION section, const void* caller);

  void checkThreadEnd(const ThreadRecord& thread);
  // The first section within the bytes that is initialised and not deleted,
  // or null; freeing memory forgets the deleted ones there.
  const void* liveWithin(const void* begin, size_t size);
  void forgetWithin(const void* begin, size_t size);

 private:
  struct Section {
    bool deleted = false;
    const ThreadRecord* owner = nullptr;
    unsigned recursion = 0;
    const void* enteredFrom = nullptr;  // the holder's first entry
    std::deque<const ThreadRecord*> queue;  // waiting to enter, longest first
  };
  struct Waiter {
    const void* section;
    const void* caller;
  };

  // Callers hold the dispatcher lock.
  Section& usable(LPCRITICAL_SECTION section, const char* service, const void* caller);
  void reportCycle(const ThreadRecord& self, const Section& wanted, LPCRITICAL_SECTION section,
                   const void* caller);
  std::string describeWait(const ThreadRecord& thread, const void* section, const void* caller);

  Scheduler& scheduler_;
  std::map<const void*, Section> sections_;
  std::map<const ThreadRecord*, Waiter> waiters_;
};

}  // namespace nrv
