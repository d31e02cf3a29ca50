// The life of every IRP, for the verifier: who allocated it, whether a driver,
// the completion path or nobody holds it, and what each stack location returned
// and marked, so that double completion, a free while in use, and a pending
// status without the pending mark are caught where they happen.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/copy_counter.h"

namespace nrv {

struct ThreadRecord;

// Told on the completing thread once a request's status and output are final,
// before its waiters wake. pendingReturned: the driver marked it pending, so
// the caller was told STATUS_PENDING.
using CompletionNotice = std::function<void(const IO_STATUS_BLOCK& status, bool pendingReturned)>;

enum class IrpOrigin {
  Driver,     // IoAllocateIrp: the driver frees it
  IoManager,  // IoBuildDeviceIoControlRequest: freed when its completion reaches the top
  IoEntry,    // the machine's I/O entry: freed by the entry once the caller has the result
};

enum class IrpState {
  Idle,        // allocated and not sent, or held by a completion routine's driver
  InFlight,    // with the drivers of a stack
  Completing,  // completion routines are running
  Completed,   // completion reached the top; waiting for the originator to free it
  Freed,
};

struct IrpRecord {
  IrpOrigin origin;
  IrpState state = IrpState::Idle;
  // Counts the times the IRP was sent anew, to tell a re-send from a completion routine.
  uint64_t round = 0;
  PDRIVER_OBJECT owner = nullptr;
  const void* allocatedBy = nullptr;
  // The thread running one of the IRP's completion routines, while it runs.
  ThreadRecord* routineThread = nullptr;

  struct Location {
    uint64_t round = 0;
    bool returned = false;
    NTSTATUS returnedStatus = 0;
    bool completed = false;
    bool markedPending = false;
    const void* dispatch = nullptr;
  };
  std::vector<Location> locations;  // index 1..StackCount
  // Every device the IRP was sent to, in order; locations are reused by skipping drivers.
  std::vector<PDEVICE_OBJECT> reached;

  // IoBuildDeviceIoControlRequest with METHOD_BUFFERED: where output is copied back to.
  void* systemBuffer = nullptr;
  void* userOutput = nullptr;
  ULONG outputLength = 0;
  CopyKind copyBack = CopyKind::ControlOutput;  // how the copy back is counted

  // Set by the I/O entry for a caller that wants to hear of the completion.
  CompletionNotice completionNotice;
};

class IrpTracker {
 public:
  IrpTracker();
  IrpTracker(const IrpTracker&) = delete;
  IrpTracker& operator=(const IrpTracker&) = delete;
  ~IrpTracker();

  PIRP allocate(CCHAR stackSize, IrpOrigin origin, const void* caller, PDRIVER_OBJECT owner);
  IrpRecord& lookup(PIRP irp, const char* service);

  // IofCallDriver: the dispatch routine at this location starts and returns.
  uint64_t beginDispatch(PIRP irp, int location, const void* dispatch);
  void endDispatch(PIRP irp, int location, uint64_t round, NTSTATUS status);

  void beginCompletion(PIRP irp, const void* caller);
  void passLocation(PIRP irp, int location, bool markedPending);
  // A completion routine is about to run; returns the IRP's round.
  uint64_t enterRoutine(PIRP irp);
  // A completion routine returned; true when completion goes on upward.
  bool routineReturned(PIRP irp, uint64_t roundBefore, bool moreProcessingRequired, const void* routine);
  void reachedTop(PIRP irp);

  void checkCancellable(PIRP irp, const void* caller);
  void release(PIRP irp, const char* service, const void* caller);

  // IRPs that were never freed, described for the shutdown report.
  std::string describeOutstanding();

  KSPIN_LOCK& cancelSpinLock() { return cancelSpinLock_; }
  // Bytes copied into and out of the IRPs' system buffers.
  CopyCounter& copies() { return copies_; }

  // Freed IRPs stay reserved, so that a late use is caught as such; the
  // oldest go once this many are kept, so a long run does not grow for ever.
  static constexpr size_t kQuarantine = 4096;
  size_t quarantined();

 private:
  void checkPendingRule(PIRP irp, int location, const IrpRecord::Location& track);
  void awaitRoutineElsewhere(std::unique_lock<std::recursive_mutex>& held, IrpRecord& record);

  std::recursive_mutex lock_;
  std::condition_variable_any routineReturned_;
  std::map<PIRP, IrpRecord> records_;
  std::deque<PIRP> quarantine_;
  KSPIN_LOCK cancelSpinLock_ = 0;
  CopyCounter copies_;
};

const char* majorFunctionName(UCHAR major);

}  // namespace nrv
