// The verifier's power rules: a set-power or query-power IRP goes on down, or
// is completed, only after the driver holding it called PoStartNextPowerIrp,
// once; and power IRPs travel with PoCallDriver, never IoCallDriver.
#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "kernel/irp_tracker.h"
#include "kernel/power_manager.h"

namespace nrv {

void PowerManager::checkPassedOn(PIRP irp, PIO_STACK_LOCATION next, const void* caller) {
  std::lock_guard<std::mutex> guard(lock_);
  IrpRecord* record = find(irp);
  if (record == nullptr) {
    bugCheck(
        "POWER_IRP_NOT_REQUESTED",
        format("PoCallDriver from %s: IRP %p (%s) was not issued by the power manager; drivers ask for "
               "set-power and query-power IRPs with PoRequestPowerIrp",
               describeCodeAddress(caller).c_str(), static_cast<void*>(irp), minorName(next->MinorFunction)));
  }
  if (record->visits.empty()) {
    bugCheck("INVALID_POWER_IRP", format("PoCallDriver from %s: %s has not been delivered to any device yet",
                                         describeCodeAddress(caller).c_str(), irpText(irp, *record).c_str()));
  }
  const Visit& holder = record->visits.back();
  // A driver that watches the IRP come back may start the next one from its
  // completion routine instead; whether it did is checked when the IRP ends.
  bool ownRoutine = irp->CurrentLocation == holder.location && next->CompletionRoutine != nullptr;
  if (!holder.startedNext && !ownRoutine) {
    bugCheck(
        "POWER_IRP_PASSED_WITHOUT_START_NEXT",
        format("PoCallDriver from %s passed %s on from device %s without PoStartNextPowerIrp at its stack "
               "location %d",
               describeCodeAddress(caller).c_str(), irpText(irp, *record).c_str(),
               deviceText(holder.device).c_str(), holder.location));
  }
}

void PowerManager::checkStartNextLocation(PIRP irp, const void* caller) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
    bugCheck("INVALID_POWER_IRP",
             format("PoStartNextPowerIrp from %s: IRP %p is at no driver's stack location",
                    describeCodeAddress(caller).c_str(), static_cast<void*>(irp)));
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_POWER) {
    bugCheck("INVALID_POWER_IRP", format("PoStartNextPowerIrp from %s was given IRP %p, which carries %s",
                                         describeCodeAddress(caller).c_str(), static_cast<void*>(irp),
                                         majorFunctionName(stack->MajorFunction)));
  }
}

PowerManager::Visit& PowerManager::checkFirstStartNext(PIRP irp, IrpRecord* record, PDEVICE_OBJECT device,
                                                       UCHAR minor, const void* caller) {
  if (record == nullptr) {
    bugCheck("POWER_IRP_NOT_REQUESTED",
             format("PoStartNextPowerIrp from %s: IRP %p (%s) was not issued by "
                    "the power manager",
                    describeCodeAddress(caller).c_str(), static_cast<void*>(irp), minorName(minor)));
  }
  Visit* visit = visitOf(*record, device);
  if (visit == nullptr) {
    bugCheck("INVALID_POWER_IRP",
             format("PoStartNextPowerIrp from %s for %s at device %s, which never received it",
                    describeCodeAddress(caller).c_str(), irpText(irp, *record).c_str(),
                    deviceText(device).c_str()));
  }
  if (visit->startedNext) {
    bugCheck(
        "POWER_IRP_STARTED_NEXT_TWICE",
        format("PoStartNextPowerIrp from %s: the driver of device %s already called it for %s; each driver "
               "calls it once per IRP",
               describeCodeAddress(caller).c_str(), deviceText(device).c_str(),
               irpText(irp, *record).c_str()));
  }
  return *visit;
}

void PowerManager::checkIoCallDriver(PIRP irp, const void* caller) {
  bool fromPowerManager = sendingPowerIrp_;
  sendingPowerIrp_ = false;
  if (fromPowerManager || irp->CurrentLocation <= 1) return;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MajorFunction == IRP_MJ_POWER) {
    bugCheck(
        "POWER_IRP_SENT_WITH_IOCALLDRIVER",
        format("IoCallDriver from %s was given IRP %p (%s); power IRPs are passed on with PoCallDriver",
               describeCodeAddress(caller).c_str(), static_cast<void*>(irp), minorName(next->MinorFunction)));
  }
}

void PowerManager::checkCompletion(PIRP irp, const void* caller) {
  if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_POWER || !serialized(stack->MinorFunction)) return;
  std::lock_guard<std::mutex> guard(lock_);
  IrpRecord* record = find(irp);
  Visit* visit = record != nullptr ? visitOf(*record, stack->DeviceObject) : nullptr;
  if (visit != nullptr && !visit->startedNext) {
    bugCheck(
        "POWER_IRP_COMPLETED_WITHOUT_START_NEXT",
        format("IoCompleteRequest from %s completed %s at device %s without PoStartNextPowerIrp at its stack "
               "location %d",
               describeCodeAddress(caller).c_str(), irpText(irp, *record).c_str(),
               deviceText(visit->device).c_str(), visit->location));
  }
}

void PowerManager::checkEveryDriverStartedNext(PIRP irp, const IrpRecord& record) {
  if (!serialized(record.minor)) return;
  for (const Visit& visit : record.visits) {
    if (!visit.startedNext) {
      bugCheck("POWER_IRP_NOT_STARTED_NEXT",
               format("%s ended, but the driver of device %s never called PoStartNextPowerIrp for it",
                      irpText(irp, record).c_str(), deviceText(visit.device).c_str()));
    }
  }
}

}  // namespace nrv
