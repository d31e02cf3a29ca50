#include "kernel/irp_tracker.h"

#include <cstdlib>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"

namespace nrv {

namespace {

const char* stateName(IrpState state) {
  switch (state) {
    case IrpState::Idle:
      return "held by its owner";
    case IrpState::InFlight:
      return "with a driver";
    case IrpState::Completing:
      return "being completed";
    case IrpState::Completed:
      return "completed";
    case IrpState::Freed:
      return "freed";
  }
  return "?";
}

std::string irpText(PIRP irp) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return format("IRP %p", static_cast<void*>(irp));
  return format("IRP %p (%s)", static_cast<void*>(irp),
                majorFunctionName(irp->Tail.Overlay.CurrentStackLocation->MajorFunction));
}

}  // namespace

const char* majorFunctionName(UCHAR major) {
  static const char* const names[] = {
      "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
      "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
      "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
      "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
      "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
      "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
      "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "an unknown major function";
}

IrpTracker::IrpTracker() = default;

IrpTracker::~IrpTracker() {
  for (PIRP irp : quarantine_) std::free(irp);
  for (auto& [irp, record] : records_) {
    if (record.state != IrpState::Freed) std::free(irp);
  }
}

PIRP IrpTracker::allocate(CCHAR stackSize, IrpOrigin origin, const void* caller, PDRIVER_OBJECT owner) {
  auto* irp = static_cast<PIRP>(std::calloc(1, IoSizeOfIrp(stackSize)));
  if (irp == nullptr) return nullptr;
  irp->Type = IO_TYPE_IRP;
  irp->Size = IoSizeOfIrp(stackSize);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;

  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = records_[irp];
  record = IrpRecord{};
  record.origin = origin;
  record.owner = owner;
  record.allocatedBy = caller;
  record.locations.resize(static_cast<size_t>(stackSize) + 1);
  return irp;
}

IrpRecord& IrpTracker::lookup(PIRP irp, const char* service) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto found = records_.find(irp);
  if (found == records_.end()) {
    bugCheck("INVALID_IRP", format("%s was given %p, which is not an IRP", service, static_cast<void*>(irp)));
  }
  if (found->second.state == IrpState::Freed) {
    bugCheck("IRP_USED_AFTER_FREE", format("%s was given IRP %p, which has been freed", service,
                                           static_cast<void*>(irp)));
  }
  return found->second;
}

uint64_t IrpTracker::beginDispatch(PIRP irp, int location, const void* dispatch) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = lookup(irp, "IoCallDriver");
  if (record.state == IrpState::Completed) {
    bugCheck("IRP_SENT_AFTER_COMPLETION", format("IoCallDriver: %s has already been completed",
                                                 irpText(irp).c_str()));
  }
  // A send from the owner, or from a completion routine, starts a new round.
  if (record.state != IrpState::InFlight) record.round++;
  record.state = IrpState::InFlight;
  record.reached.push_back(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
  record.locations[location] = IrpRecord::Location{};
  record.locations[location].round = record.round;
  record.locations[location].dispatch = dispatch;
  return record.round;
}

void IrpTracker::endDispatch(PIRP irp, int location, uint64_t round, NTSTATUS status) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = records_[irp];
  IrpRecord::Location& track = record.locations[location];
  if (track.round != round) return;
  track.returned = true;
  track.returnedStatus = status;
  checkPendingRule(irp, location, track);
}

void IrpTracker::passLocation(PIRP irp, int location, bool markedPending) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord::Location& track = records_[irp].locations[location];
  track.completed = true;
  track.markedPending = markedPending;
  checkPendingRule(irp, location, track);
}

// The caller waits for an IRP only when its dispatch routine returned
// STATUS_PENDING, and the I/O manager signals it only when the IRP was marked
// pending: the two must agree, or a request is lost or completed twice.
void IrpTracker::checkPendingRule(PIRP irp, int location, const IrpRecord::Location& track) {
  if (!track.returned || !track.completed) return;
  bool returnedPending = track.returnedStatus == STATUS_PENDING;
  if (returnedPending && !track.markedPending) {
    bugCheck("PENDING_NOT_MARKED",
             format("the dispatch routine %s returned STATUS_PENDING for %s (stack location %d) without "
                    "marking it pending (IoMarkIrpPending, or the pending mark passed up by its completion routine)",
                    describeCodeAddress(track.dispatch).c_str(), irpText(irp).c_str(), location));
  }
  if (!returnedPending && track.markedPending) {
    bugCheck("PENDING_MARK_WITHOUT_PENDING",
             format("the dispatch routine %s marked %s (stack location %d) pending but returned 0x%08X",
                    describeCodeAddress(track.dispatch).c_str(), irpText(irp).c_str(), location,
                    static_cast<unsigned>(track.returnedStatus)));
  }
}

// A completion routine commonly signals an event and then returns
// STATUS_MORE_PROCESSING_REQUIRED; the thread it woke may complete or free the
// IRP before the routine has returned. Whether that is allowed depends on what
// the routine returns, so the waker's thread waits for it.
void IrpTracker::awaitRoutineElsewhere(std::unique_lock<std::recursive_mutex>& held, IrpRecord& record) {
  ThreadRecord* self = currentThreadOrNull();
  routineReturned_.wait(held, [&] {
    return record.state != IrpState::Completing || record.routineThread == nullptr || record.routineThread == self;
  });
}

void IrpTracker::beginCompletion(PIRP irp, const void* caller) {
  std::unique_lock<std::recursive_mutex> held(lock_);
  IrpRecord& record = lookup(irp, "IoCompleteRequest");
  awaitRoutineElsewhere(held, record);
  if (record.state == IrpState::Completing || record.state == IrpState::Completed) {
    bugCheck("IRP_COMPLETED_TWICE", format("IoCompleteRequest from %s: %s is already %s",
                                           describeCodeAddress(caller).c_str(), irpText(irp).c_str(),
                                           stateName(record.state)));
  }
  // A request the I/O manager built, held at the top by its sender's completion
  // routine, is completed once more to hand it back for the final processing.
  bool onlyFinalProcessingLeft = record.origin != IrpOrigin::Driver && irp->CurrentLocation == irp->StackCount + 1;
  if (irp->CurrentLocation > irp->StackCount && !onlyFinalProcessingLeft) {
    bugCheck("IRP_COMPLETED_TWICE", format("IoCompleteRequest from %s: %s has no stack location left to "
                                           "complete",
                                           describeCodeAddress(caller).c_str(), irpText(irp).c_str()));
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    bugCheck("IRP_COMPLETED_PENDING", format("IoCompleteRequest from %s: %s completed with STATUS_PENDING",
                                             describeCodeAddress(caller).c_str(), irpText(irp).c_str()));
  }
  // IoCancelIrp on another thread may exchange the routine at this very moment.
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    bugCheck("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
             format("IoCompleteRequest from %s: %s still has cancel routine %s", describeCodeAddress(caller).c_str(),
                    irpText(irp).c_str(), describeCodeAddress(reinterpret_cast<const void*>(irp->CancelRoutine)).c_str()));
  }
  record.state = IrpState::Completing;
}

uint64_t IrpTracker::enterRoutine(PIRP irp) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = records_[irp];
  record.routineThread = currentThreadOrNull();
  return record.round;
}

bool IrpTracker::routineReturned(PIRP irp, uint64_t roundBefore, bool moreProcessingRequired, const void* routine) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = records_[irp];
  record.routineThread = nullptr;
  routineReturned_.notify_all();
  if (record.state == IrpState::Freed) {
    if (moreProcessingRequired) return false;
    bugCheck("IRP_USED_AFTER_FREE", format("the completion routine %s freed IRP %p but did not return "
                                           "STATUS_MORE_PROCESSING_REQUIRED",
                                           describeCodeAddress(routine).c_str(), static_cast<void*>(irp)));
  }
  bool resent = record.round != roundBefore;
  if (moreProcessingRequired) {
    if (!resent) record.state = IrpState::Idle;
    return false;
  }
  if (resent) {
    bugCheck("IRP_SENT_AFTER_COMPLETION", format("the completion routine %s sent %p down again but did not return "
                                                 "STATUS_MORE_PROCESSING_REQUIRED",
                                                 describeCodeAddress(routine).c_str(), static_cast<void*>(irp)));
  }
  return true;
}

void IrpTracker::reachedTop(PIRP irp) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  IrpRecord& record = records_[irp];
  if (record.origin == IrpOrigin::Driver) {
    bugCheck("DRIVER_IRP_COMPLETED_TO_TOP",
             format("IRP %p, allocated by %s, was completed past its first stack location: the completion routine "
                    "of the driver that allocated it must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                    static_cast<void*>(irp), describeCodeAddress(record.allocatedBy).c_str()));
  }
  record.state = IrpState::Completed;
}

void IrpTracker::checkCancellable(PIRP irp, const void* caller) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto found = records_.find(irp);
  if (found == records_.end() || found->second.state == IrpState::Freed) {
    bugCheck("IRP_USED_AFTER_FREE", format("IoCancelIrp from %s: %p is %s", describeCodeAddress(caller).c_str(),
                                           static_cast<void*>(irp),
                                           found == records_.end() ? "not an IRP" : "an IRP that has been freed"));
  }
}

void IrpTracker::release(PIRP irp, const char* service, const void* caller) {
  std::unique_lock<std::recursive_mutex> held(lock_);
  IrpRecord& record = lookup(irp, service);
  awaitRoutineElsewhere(held, record);
  // The owner's own completion routine may free its IRP (and must then stop completion).
  ThreadRecord* self = currentThreadOrNull();
  bool inOwnRoutine = record.state == IrpState::Completing && self != nullptr && record.routineThread == self &&
                      !self->driverCalls.empty() && self->driverCalls.back() == record.owner;
  bool allowed = record.origin == IrpOrigin::Driver ? record.state == IrpState::Idle || inOwnRoutine
                                                    : record.state == IrpState::Completed;
  if (!allowed) {
    bugCheck("IRP_FREED_IN_USE", format("%s from %s: %s is %s", service, describeCodeAddress(caller).c_str(),
                                        irpText(irp).c_str(), stateName(record.state)));
  }
  if (irp->MdlAddress != nullptr) {
    bugCheck("IRP_FREED_WITH_MDL", format("%s from %s: IRP %p still carries MDL %p", service,
                                          describeCodeAddress(caller).c_str(), static_cast<void*>(irp),
                                          static_cast<void*>(irp->MdlAddress)));
  }
  record.state = IrpState::Freed;
  quarantine_.push_back(irp);
  if (quarantine_.size() > kQuarantine) {
    PIRP oldest = quarantine_.front();
    quarantine_.pop_front();
    records_.erase(oldest);
    std::free(oldest);
  }
}

size_t IrpTracker::quarantined() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return quarantine_.size();
}

std::string IrpTracker::describeOutstanding() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  std::string text;
  for (auto& [irp, record] : records_) {
    if (record.state == IrpState::Freed) continue;
    text += format("      %s, %s, allocated by %s\n", irpText(irp).c_str(), stateName(record.state),
                   describeCodeAddress(record.allocatedBy).c_str());
  }
  return text;
}

}  // namespace nrv
