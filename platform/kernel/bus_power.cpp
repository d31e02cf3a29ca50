#include "kernel/bus_power.h"

#include "base/text.h"

namespace nrv {

namespace {

NTSTATUS completeWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS BusPower::answer(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        std::lock_guard<std::mutex> guard(lock_);
        deviceStates_[stack->DeviceObject] = stack->Parameters.Power.State.DeviceState;
      }
      [[fallthrough]];
    case IRP_MN_QUERY_POWER:
      PoStartNextPowerIrp(irp);
      return completeWith(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
      return holdWaitWake(irp);
    default:
      return completeWith(irp, irp->IoStatus.Status);
  }
}

// The bus owns a held IRP, so its driver context may say whose it is.
VOID BusPower::cancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<BusPower*>(irp->Tail.Overlay.DriverContext[0])->waitWakeCancelled(device, irp);
}

NTSTATUS BusPower::holdWaitWake(PIRP irp) {
  PDEVICE_OBJECT pdo = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  bool busy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    busy = waitWakes_.count(pdo) != 0;
    if (!busy) {
      IoMarkIrpPending(irp);
      irp->Tail.Overlay.DriverContext[0] = this;
      IoSetCancelRoutine(irp, cancelWaitWake);
      // Cancelled before the routine was in place: nobody else will end it.
      if (!__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        waitWakes_[pdo] = irp;
        return STATUS_PENDING;
      }
    }
  }
  if (busy) return completeWith(irp, STATUS_DEVICE_BUSY);
  completeWith(irp, STATUS_CANCELLED);
  return STATUS_PENDING;
}

void BusPower::waitWakeCancelled(PDEVICE_OBJECT pdo, PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = waitWakes_.find(pdo);
    if (found != waitWakes_.end() && found->second == irp) waitWakes_.erase(found);
  }
  completeWith(irp, STATUS_CANCELLED);
}

bool BusPower::signalWake(PDEVICE_OBJECT pdo) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = waitWakes_.find(pdo);
    if (found == waitWakes_.end()) return false;
    irp = found->second;
    // Its cancel routine has started and ends it.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    waitWakes_.erase(found);
  }
  // The wake arrives as an interrupt: the bus completes the IRP from its DPC.
  KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  completeWith(irp, STATUS_SUCCESS);
  KfLowerIrql(irql);
  return true;
}

bool BusPower::waitWakePending(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  return waitWakes_.count(pdo) != 0;
}

DEVICE_POWER_STATE BusPower::devicePowerState(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = deviceStates_.find(pdo);
  return found == deviceStates_.end() ? PowerDeviceD0 : found->second;
}

void BusPower::forgetDevice(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  deviceStates_.erase(pdo);
}

std::string BusPower::describeHeld() {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (auto& [pdo, irp] : waitWakes_) {
    text += format("      wait-wake IRP %p is held by the bus until device %p signals a wake\n",
                   static_cast<void*>(irp), static_cast<void*>(pdo));
  }
  return text;
}

}  // namespace nrv
