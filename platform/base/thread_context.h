// What the machine knows about each thread that runs its code: the IRQL, the
// spin locks held, the drivers being called, what the thread waits for, and
// for user-mode code its process and last error.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nrv {

class Process;

struct ThreadRecord {
  std::string name;
  KIRQL irql = PASSIVE_LEVEL;
  std::vector<PKSPIN_LOCK> heldSpinLocks;
  // Innermost last: the driver whose code the thread is running, for attributing pool.
  std::vector<PDRIVER_OBJECT> driverCalls;

  // Scheduler state, guarded by the dispatcher lock.
  bool blocked = false;
  bool finished = false;
  uint64_t deadline = 0;
  std::function<bool()> ready;
  std::function<std::string()> describeWait;
  // The spin lock the thread is spinning on, for finding lock cycles.
  std::atomic<PKSPIN_LOCK> spinningOn{nullptr};

  // User mode: the process the thread runs in (none for the machine's own
  // threads), and its last error, as GetLastError reads it.
  Process* process = nullptr;
  ULONG lastError = 0;
};

// The calling thread's record; a thread the machine does not know stops the machine.
ThreadRecord& currentThread(const char* service);
ThreadRecord* currentThreadOrNull();
void bindCurrentThread(ThreadRecord* record);

// Checks that the caller runs at or below the given IRQL.
void requireIrqlAtMost(KIRQL maximum, const char* service);

const char* irqlName(KIRQL irql);

// Marks the calling thread as running code of a driver for the lifetime of the scope.
class DriverCallScope {
 public:
  explicit DriverCallScope(PDRIVER_OBJECT driver);
  ~DriverCallScope();
  DriverCallScope(const DriverCallScope&) = delete;
  DriverCallScope& operator=(const DriverCallScope&) = delete;

 private:
  ThreadRecord& thread_;
};

}  // namespace nrv

namespace nrv {

void checkRoutineReturn(const ThreadRecord& thread, const char* role, const void* routine, KIRQL irql,
                        size_t spinLocksHeld);

// Calls a driver routine and checks that it gave back the IRQL it was called at
// and released every spin lock it took. role says what the routine is for.
template <typename Call>
auto callDriverRoutine(const char* role, const void* routine, Call call) {
  ThreadRecord& thread = currentThread(role);
  KIRQL irql = thread.irql;
  size_t locks = thread.heldSpinLocks.size();
  auto result = call();
  checkRoutineReturn(thread, role, routine, irql, locks);
  return result;
}

}  // namespace nrv
