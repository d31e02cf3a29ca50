#include "kernel/power_manager.h"

#include <algorithm>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/machine_threads.h"
#include "base/scheduler.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/irp_tracker.h"

namespace nrv {

namespace {

constexpr ULONG kIrpTag = 0x20707249;  // "Irp ", counted like IoAllocateIrp's requests

PDRIVER_OBJECT runningDriver() {
  ThreadRecord* thread = currentThreadOrNull();
  return thread == nullptr || thread->driverCalls.empty() ? nullptr : thread->driverCalls.back();
}

POWER_ACTION actionFor(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type != SystemPowerState || state.SystemState == PowerSystemWorking) return PowerActionNone;
  return state.SystemState == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
}

// A system IRP the power manager sent itself and waits for.
struct SystemWait {
  Scheduler* scheduler;
  bool done = false;
  IO_STATUS_BLOCK status{};
};

VOID systemIrpCompleted(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                        PIO_STATUS_BLOCK status) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(minor);
  UNREFERENCED_PARAMETER(state);
  auto* wait = static_cast<SystemWait*>(context);
  std::lock_guard<std::mutex> held(wait->scheduler->dispatcherLock());
  wait->status = *status;
  wait->done = true;
  wait->scheduler->stateChanged();
}

}  // namespace

thread_local bool PowerManager::sendingPowerIrp_ = false;

PowerManager::PowerManager(Scheduler& scheduler, MachineThreads& threads, IrpTracker& irps,
                           DeviceObjects& devices, FaultInjector& faults)
    : scheduler_(scheduler), threads_(threads), irps_(irps), devices_(devices), faults_(faults) {}

// ---- system sleep and wake -----------------------------------------------------

SystemPowerResult PowerManager::setSystemPower(SYSTEM_POWER_STATE state,
                                               const std::vector<PDEVICE_OBJECT>& pdosInOrder) {
  if (state < PowerSystemWorking || state > PowerSystemHibernate) {
    bugCheck("NOT_IMPLEMENTED",
             format("setSystemPower to system state %d: this machine sleeps in S1 to S4 and "
                    "wakes to S0 only",
                    static_cast<int>(state)));
  }
  if (state != PowerSystemWorking) {
    for (PDEVICE_OBJECT pdo : pdosInOrder) {
      IO_STATUS_BLOCK answer = sendSystemPowerIrp(pdo, IRP_MN_QUERY_POWER, state);
      if (!NT_SUCCESS(answer.Status)) return SystemPowerResult{answer.Status, pdo};
    }
  }
  // A set-power cannot be refused; its outcome changes nothing here.
  for (PDEVICE_OBJECT pdo : pdosInOrder) sendSystemPowerIrp(pdo, IRP_MN_SET_POWER, state);
  std::vector<std::function<void()>> listeners;
  {
    std::lock_guard<std::mutex> guard(lock_);
    systemState_ = state;
    if (state == PowerSystemWorking) listeners = wakeListeners_;
  }
  for (const auto& listener : listeners) listener();
  return SystemPowerResult{};
}

SYSTEM_POWER_STATE PowerManager::systemPowerState() {
  std::lock_guard<std::mutex> guard(lock_);
  return systemState_;
}

void PowerManager::addWakeListener(std::function<void()> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  wakeListeners_.push_back(std::move(listener));
}

IO_STATUS_BLOCK PowerManager::sendSystemPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  requireIrqlAtMost(PASSIVE_LEVEL, "the power manager");
  if (!serialized(minor)) {
    bugCheck("INVALID_PARAMETER",
             format("the power manager sends system query-power and set-power IRPs only, "
                    "not %s",
                    minorName(minor)));
  }
  devices_.lookup(pdo, "the power manager");
  PDEVICE_OBJECT top = devices_.top(pdo);
  POWER_STATE power;
  power.SystemState = state;
  std::string what = format("%s (%s) sent to the stack of %s", minorName(minor),
                            stateName(SystemPowerState, power).c_str(), deviceText(pdo).c_str());
  SystemWait wait{&scheduler_};
  PIRP irp = allocate(pdo, top, minor, SystemPowerState, power, systemIrpCompleted, &wait, nullptr,
                      __builtin_return_address(0));
  deliver(top, irp);
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.block(
      held, [&wait] { return wait.done; }, Scheduler::kNoDeadline,
      [what] { return "the power manager, waiting for " + what; });
  return wait.status;
}

NTSTATUS PowerManager::requestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp,
                                       const void* caller) {
  devices_.lookup(device, "PoRequestPowerIrp");
  if (!serialized(minor) && minor != IRP_MN_WAIT_WAKE) {
    bugCheck("INVALID_PARAMETER",
             format("PoRequestPowerIrp from %s asked for %s; only set-power, query-power and "
                    "wait-wake IRPs are requested this way",
                    describeCodeAddress(caller).c_str(), minorName(minor)));
  }
  if (faults_.shouldFail(FaultKind::Irp, kIrpTag)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = devices_.top(device);
  PIRP request =
      allocate(device, top, minor, DevicePowerState, state, completion, context, runningDriver(), caller);
  if (irp != nullptr) *irp = request;
  // Power-pageable stacks take their power IRPs at PASSIVE_LEVEL only.
  if (currentThread("PoRequestPowerIrp").irql == PASSIVE_LEVEL) {
    deliver(top, request);
  } else {
    threads_.start("power manager", [this, top, request] { deliver(top, request); });
  }
  return STATUS_PENDING;
}

NTSTATUS PowerManager::callDriver(PDEVICE_OBJECT device, PIRP irp, const void* caller) {
  // With no stack location left, IoCallDriver reports the IRP.
  if (irp->CurrentLocation <= 1) return send(device, irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MajorFunction != IRP_MJ_POWER) {
    bugCheck("INVALID_POWER_IRP",
             format("PoCallDriver from %s was given IRP %p, which carries %s; it passes on "
                    "power IRPs only",
                    describeCodeAddress(caller).c_str(), static_cast<void*>(irp),
                    majorFunctionName(next->MajorFunction)));
  }
  if (serialized(next->MinorFunction)) checkPassedOn(irp, next, caller);
  return deliver(device, irp);
}

void PowerManager::startNext(PIRP irp, const void* caller) {
  checkStartNextLocation(irp, caller);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!serialized(stack->MinorFunction)) return;
  PDEVICE_OBJECT device = stack->DeviceObject;
  PIRP next = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    IrpRecord* record = find(irp);
    checkFirstStartNext(irp, record, device, stack->MinorFunction, caller).startedNext = true;
    auto queue = queues_.find(QueueKey{device, record->type});
    if (queue != queues_.end() && queue->second.active == irp) {
      if (queue->second.waiting.empty()) {
        queues_.erase(queue);
      } else {
        next = queue->second.waiting.front();
        queue->second.waiting.pop_front();
        queue->second.active = next;
        find(next)->visits.push_back(Visit{device, next->CurrentLocation - 1});
      }
    }
  }
  // Not from inside the caller, which still holds its own IRP.
  if (next != nullptr) threads_.start("power manager", [this, device, next] { send(device, next); });
}

// ---- delivery and the end of an IRP -----------------------------------------------

PIRP PowerManager::allocate(PDEVICE_OBJECT target, PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state, PREQUEST_POWER_COMPLETE completion, PVOID context,
                            PDRIVER_OBJECT requester, const void* caller) {
  PIRP irp = irps_.allocate(top->StackSize, IrpOrigin::Driver, caller, nullptr);
  if (irp == nullptr) bugCheck("NO_MEMORY", "the host has no memory for a power IRP");
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = state.SystemState;
  } else {
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = actionFor(type, state);
  }
  // The power manager's own routine at the top ends the IRP and frees it.
  IoSetCompletionRoutine(irp, finished, this, TRUE, TRUE, TRUE);
  std::lock_guard<std::mutex> guard(lock_);
  records_[irp] = IrpRecord{target, minor, type, state, completion, context, requester, caller, {}};
  return irp;
}

NTSTATUS PowerManager::deliver(PDEVICE_OBJECT device, PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    IrpRecord* record = find(irp);
    if (record != nullptr && serialized(record->minor)) {
      DeviceQueue& queue = queues_[QueueKey{device, record->type}];
      if (queue.active != nullptr) {
        queue.waiting.push_back(irp);
        // A driver returns the STATUS_PENDING it gets here; its location must say so.
        if (irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
        return STATUS_PENDING;
      }
      queue.active = irp;
    }
    if (record != nullptr) record->visits.push_back(Visit{device, irp->CurrentLocation - 1});
  }
  return send(device, irp);
}

NTSTATUS PowerManager::send(PDEVICE_OBJECT device, PIRP irp) {
  sendingPowerIrp_ = true;
  return IofCallDriver(device, irp);
}

PowerManager::IrpRecord* PowerManager::find(PIRP irp) {
  auto found = records_.find(irp);
  return found == records_.end() ? nullptr : &found->second;
}

PowerManager::Visit* PowerManager::visitOf(IrpRecord& record, PDEVICE_OBJECT device) {
  for (auto visit = record.visits.rbegin(); visit != record.visits.rend(); ++visit) {
    if (visit->device == device) return &*visit;
  }
  return nullptr;
}

NTSTATUS PowerManager::finished(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  static_cast<PowerManager*>(context)->finish(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void PowerManager::finish(PIRP irp) {
  IrpRecord record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = records_.find(irp);
    record = std::move(found->second);
    records_.erase(found);
  }
  checkEveryDriverStartedNext(irp, record);
  if (record.completion != nullptr) {
    DriverCallScope scope(record.requester);
    callDriverRoutine("power completion function", reinterpret_cast<const void*>(record.completion), [&] {
      record.completion(record.target, record.minor, record.state, record.context, &irp->IoStatus);
      return 0;
    });
  }
  irps_.release(irp, "the power manager", nullptr);
}

std::string PowerManager::irpText(PIRP irp, const IrpRecord& record) {
  if (!serialized(record.minor))
    return format("IRP %p (%s)", static_cast<void*>(irp), minorName(record.minor));
  return format("IRP %p (%s, %s)", static_cast<void*>(irp), minorName(record.minor),
                stateName(record.type, record.state).c_str());
}

// ---- names for reports -------------------------------------------------------------

// The IRPs the power manager sends one at a time per device.
bool PowerManager::serialized(UCHAR minor) {
  return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

const char* PowerManager::minorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE:
      return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
      return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
      return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
      return "IRP_MN_QUERY_POWER";
  }
  return "an unknown power IRP";
}

std::string PowerManager::stateName(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type == SystemPowerState) {
    int value = state.SystemState;
    return value >= PowerSystemWorking && value < PowerSystemMaximum ? format("system S%d", value - 1)
                                                                     : format("system state %d", value);
  }
  int value = state.DeviceState;
  return value >= PowerDeviceD0 && value < PowerDeviceMaximum ? format("device D%d", value - 1)
                                                              : format("device state %d", value);
}

std::string PowerManager::deviceText(PDEVICE_OBJECT device) {
  if (!devices_.isDevice(device)) return format("%p (deleted)", static_cast<void*>(device));
  return format("%p (%s)", static_cast<void*>(device), serviceNameOf(device->DriverObject).c_str());
}

std::string PowerManager::describeOutstanding() {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (auto& [irp, record] : records_) {
    std::string where = "not delivered yet";
    if (!record.visits.empty()) where = "last sent to device " + deviceText(record.visits.back().device);
    for (auto& [key, queue] : queues_) {
      if (std::find(queue.waiting.begin(), queue.waiting.end(), irp) != queue.waiting.end()) {
        where = "waiting until device " + deviceText(key.first) + " is done with " +
                format("IRP %p", static_cast<void*>(queue.active));
      }
    }
    text += format("      %s, requested by %s, %s\n", irpText(irp, record).c_str(),
                   describeCodeAddress(record.requestedBy).c_str(), where.c_str());
  }
  return text;
}

}  // namespace nrv

extern "C" {

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  return nrv::currentKernel().power.requestPowerIrp(
      DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp, __builtin_return_address(0));
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  nrv::KernelParts& kernel = nrv::currentKernel();
  kernel.irps.lookup(Irp, "PoCallDriver");
  kernel.devices.lookup(DeviceObject, "PoCallDriver");
  return kernel.power.callDriver(DeviceObject, Irp, __builtin_return_address(0));
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  nrv::KernelParts& kernel = nrv::currentKernel();
  kernel.irps.lookup(Irp, "PoStartNextPowerIrp");
  kernel.power.startNext(Irp, __builtin_return_address(0));
}

}  // extern "C"
