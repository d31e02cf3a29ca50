// IRPs: allocation, passing down a stack, completion with its routines, and
// cancellation, with the verifier's checks at each step.
#include <wdm.h>

#include <cstdlib>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/irp_tracker.h"
#include "kernel/mdl_tracker.h"
#include "kernel/power_manager.h"

namespace nrv {

namespace {

constexpr ULONG kIrpTag = 0x20707249;  // "Irp "

PDRIVER_OBJECT runningDriver() {
  ThreadRecord* thread = currentThreadOrNull();
  return thread == nullptr || thread->driverCalls.empty() ? nullptr : thread->driverCalls.back();
}

bool routineApplies(PIRP irp, UCHAR control) {
  return (NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
         (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL));
}

// What the I/O manager does once completion has passed the first location.
void finishAtTop(PIRP irp) {
  IrpTracker& irps = nrv::currentKernel().irps;
  IrpRecord& record = irps.lookup(irp, "IoCompleteRequest");
  irps.reachedTop(irp);
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  if (record.systemBuffer != nullptr) {
    // Output is copied back only to a caller that gave an output buffer; a
    // request without one may still report a byte count.
    bool copyBack = NT_SUCCESS(irp->IoStatus.Status) && record.userOutput != nullptr && record.outputLength != 0;
    if (copyBack && irp->IoStatus.Information > record.outputLength) {
      bugCheck("IO_BUFFER_OVERRUN",
               format("IRP %p completed with Information %llu, more than the %u-byte output buffer of its caller",
                      static_cast<void*>(irp), static_cast<unsigned long long>(irp->IoStatus.Information),
                      static_cast<unsigned>(record.outputLength)));
    }
    if (copyBack) {
      memcpy(record.userOutput, record.systemBuffer, irp->IoStatus.Information);
      irps.copies().count(record.copyBack, irp->IoStatus.Information);
    }
    std::free(record.systemBuffer);
    record.systemBuffer = nullptr;
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  // The I/O manager unlocks and frees the MDLs it built over its caller's buffers.
  if (record.origin != IrpOrigin::Driver) {
    while (irp->MdlAddress != nullptr) {
      PMDL mdl = irp->MdlAddress;
      irp->MdlAddress = mdl->Next;
      nrv::currentKernel().mdls.release(mdl, "the I/O manager", nullptr);
    }
  }
  CompletionNotice notice = std::move(record.completionNotice);
  record.completionNotice = nullptr;
  if (notice) notice(irp->IoStatus, irp->PendingReturned != FALSE);
  PKEVENT event = irp->UserEvent;
  if (record.origin == IrpOrigin::IoManager) irps.release(irp, "the I/O manager", nullptr);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Runs a completion routine as the driver that set it; true when completion goes on.
bool runCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context) {
  IrpTracker& irps = nrv::currentKernel().irps;
  bool atTop = irp->CurrentLocation == irp->StackCount + 1;
  PDEVICE_OBJECT device = atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  PDRIVER_OBJECT driver = device != nullptr ? device->DriverObject : irps.lookup(irp, "IoCompleteRequest").owner;
  uint64_t roundBefore = irps.enterRoutine(irp);
  NTSTATUS result;
  {
    DriverCallScope scope(driver);
    result = callDriverRoutine("completion routine", reinterpret_cast<const void*>(routine),
                               [&] { return routine(device, irp, context); });
  }
  return irps.routineReturned(irp, roundBefore, result == STATUS_MORE_PROCESSING_REQUIRED,
                              reinterpret_cast<const void*>(routine));
}

}  // namespace

}  // namespace nrv

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  nrv::KernelParts& kernel = nrv::currentKernel();
  if (StackSize < 1) nrv::bugCheck("INVALID_PARAMETER", "IoAllocateIrp with a stack size below 1");
  if (kernel.faults.shouldFail(nrv::FaultKind::Irp, nrv::kIrpTag)) return nullptr;
  return kernel.irps.allocate(StackSize, nrv::IrpOrigin::Driver, __builtin_return_address(0),
                              nrv::runningDriver());
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  nrv::currentKernel().irps.release(Irp, "IoFreeIrp", __builtin_return_address(0));
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  nrv::KernelParts& kernel = nrv::currentKernel();
  kernel.irps.lookup(Irp, "IoCallDriver");
  kernel.devices.lookup(DeviceObject, "IoCallDriver");
  kernel.power.checkIoCallDriver(Irp, __builtin_return_address(0));
  if (Irp->CurrentLocation <= 1) {
    nrv::bugCheck("NO_MORE_IRP_STACK_LOCATIONS",
                  nrv::format("IoCallDriver(%p, IRP %p) from %s: the IRP has %d stack location(s) and none is left "
                              "for this device",
                              static_cast<void*>(DeviceObject), static_cast<void*>(Irp),
                              nrv::describeCodeAddress(__builtin_return_address(0)).c_str(), Irp->StackCount));
  }
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    nrv::bugCheck("INVALID_IRP", nrv::format("IoCallDriver: IRP %p carries major function %u", static_cast<void*>(Irp),
                                             stack->MajorFunction));
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  int location = Irp->CurrentLocation;
  uint64_t round = kernel.irps.beginDispatch(Irp, location, reinterpret_cast<const void*>(dispatch));
  NTSTATUS status;
  {
    nrv::DriverCallScope scope(DeviceObject->DriverObject);
    status = nrv::callDriverRoutine(nrv::majorFunctionName(stack->MajorFunction),
                                    reinterpret_cast<const void*>(dispatch),
                                    [&] { return dispatch(DeviceObject, Irp); });
  }
  kernel.irps.endDispatch(Irp, location, round, status);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  nrv::IrpTracker& irps = nrv::currentKernel().irps;
  irps.beginCompletion(Irp, __builtin_return_address(0));
  nrv::currentKernel().power.checkCompletion(Irp, __builtin_return_address(0));

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  for (; Irp->CurrentLocation <= Irp->StackCount + 1; stack++, IoSkipCurrentIrpStackLocation(Irp)) {
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    irps.passLocation(Irp, Irp->CurrentLocation - 1, Irp->PendingReturned);
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool invoke = routine != nullptr && nrv::routineApplies(Irp, stack->Control);
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    if (invoke) {
      if (!nrv::runCompletionRoutine(Irp, routine, context)) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  nrv::finishAtTop(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&nrv::currentKernel().irps.cancelSpinLock());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(&nrv::currentKernel().irps.cancelSpinLock(), Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  nrv::ThreadRecord& thread = nrv::currentThread("IoCancelIrp");
  nrv::currentKernel().irps.checkCancellable(Irp, __builtin_return_address(0));
  KIRQL irqlBefore = thread.irql;
  size_t locksBefore = thread.heldSpinLocks.size();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Read without the lock by a completion on another thread, as on a real machine.
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  {
    nrv::DriverCallScope scope(device->DriverObject);
    routine(device, Irp);
  }
  // The cancel routine owns the cancel spin lock and must release it.
  nrv::checkRoutineReturn(thread, "cancel routine", reinterpret_cast<const void*>(routine), irqlBefore, locksBefore);
  return TRUE;
}

}  // extern "C"
