#include "kernel/power_manager.h"

#include <algorithm>

#include "machine/bugcheck.h"
#include "machine/machine.h"
#include "machine/symbolizer.h"

namespace nrv {

namespace {

constexpr ULONG kIrpTag = 0x20707249;  // "Irp ", counted like IoAllocateIrp's requests

// Set by the power manager just before it calls IoCallDriver, and taken by the
// check there: any other IoCallDriver of a power IRP is a driver's.
thread_local bool sendingPowerIrp = false;

// The IRPs the power manager sends one at a time per device.
bool serialized(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

const char* minorName(UCHAR minor) {
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

std::string stateName(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type == SystemPowerState) {
    int value = state.SystemState;
    return value >= PowerSystemWorking && value < PowerSystemMaximum ? format("system S%d", value - 1)
                                                                     : format("system state %d", value);
  }
  int value = state.DeviceState;
  return value >= PowerDeviceD0 && value < PowerDeviceMaximum ? format("device D%d", value - 1)
                                                              : format("device state %d", value);
}

std::string deviceText(PDEVICE_OBJECT device) {
  Machine& machine = Machine::current();
  if (!machine.devices().isDevice(device)) return format("%p (deleted)", static_cast<void*>(device));
  LoadedDriver* driver = machine.modules().find(device->DriverObject);
  return format("%p (%s)", static_cast<void*>(device), driver != nullptr ? driver->serviceName.c_str() : "?");
}

PDRIVER_OBJECT runningDriver() {
  ThreadRecord* thread = currentThreadOrNull();
  return thread == nullptr || thread->driverCalls.empty() ? nullptr : thread->driverCalls.back();
}

POWER_ACTION actionFor(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type != SystemPowerState || state.SystemState == PowerSystemWorking) return PowerActionNone;
  return state.SystemState == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
}

VOID cancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Machine::current().power().waitWakeCancelled(device, irp);
}

NTSTATUS completeWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A system IRP the power manager sent itself and waits for.
struct SystemWait {
  bool done = false;
  IO_STATUS_BLOCK status{};
};

VOID systemIrpCompleted(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                        PIO_STATUS_BLOCK status) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(minor);
  UNREFERENCED_PARAMETER(state);
  auto* wait = static_cast<SystemWait*>(context);
  Scheduler& scheduler = Machine::current().scheduler();
  std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
  wait->status = *status;
  wait->done = true;
  scheduler.stateChanged();
}

}  // namespace

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
  std::lock_guard<std::mutex> guard(lock_);
  systemState_ = state;
  return SystemPowerResult{};
}

SYSTEM_POWER_STATE PowerManager::systemPowerState() {
  std::lock_guard<std::mutex> guard(lock_);
  return systemState_;
}

IO_STATUS_BLOCK PowerManager::sendSystemPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  requireIrqlAtMost(PASSIVE_LEVEL, "the power manager");
  if (!serialized(minor)) {
    bugCheck("INVALID_PARAMETER",
             format("the power manager sends system query-power and set-power IRPs only, "
                    "not %s",
                    minorName(minor)));
  }
  Machine& machine = Machine::current();
  machine.devices().lookup(pdo, "the power manager");
  PDEVICE_OBJECT top = machine.devices().top(pdo);
  POWER_STATE power;
  power.SystemState = state;
  std::string what = format("%s (%s) sent to the stack of %s", minorName(minor),
                            stateName(SystemPowerState, power).c_str(), deviceText(pdo).c_str());
  SystemWait wait;
  PIRP irp = allocate(pdo, top, minor, SystemPowerState, power, systemIrpCompleted, &wait, nullptr,
                      __builtin_return_address(0));
  deliver(top, irp);
  Scheduler& scheduler = machine.scheduler();
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  scheduler.block(
      held, [&wait] { return wait.done; }, Scheduler::kNoDeadline,
      [what] { return "the power manager, waiting for " + what; });
  return wait.status;
}

// ---- the kernel services ------------------------------------------------------

NTSTATUS PowerManager::requestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp,
                                       const void* caller) {
  Machine& machine = Machine::current();
  machine.devices().lookup(device, "PoRequestPowerIrp");
  if (!serialized(minor) && minor != IRP_MN_WAIT_WAKE) {
    bugCheck("INVALID_PARAMETER",
             format("PoRequestPowerIrp from %s asked for %s; only set-power, query-power and "
                    "wait-wake IRPs are requested this way",
                    describeCodeAddress(caller).c_str(), minorName(minor)));
  }
  if (machine.faults().shouldFail(FaultKind::Irp, kIrpTag)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = machine.devices().top(device);
  PIRP request =
      allocate(device, top, minor, DevicePowerState, state, completion, context, runningDriver(), caller);
  if (irp != nullptr) *irp = request;
  // Power-pageable stacks take their power IRPs at PASSIVE_LEVEL only.
  if (currentThread("PoRequestPowerIrp").irql == PASSIVE_LEVEL) {
    deliver(top, request);
  } else {
    machine.startThread("power manager", [this, top, request] { deliver(top, request); });
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

void PowerManager::startNext(PIRP irp, const void* caller) {
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
  if (!serialized(stack->MinorFunction)) return;
  PDEVICE_OBJECT device = stack->DeviceObject;
  PIRP next = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    IrpRecord* record = find(irp);
    if (record == nullptr) {
      bugCheck("POWER_IRP_NOT_REQUESTED", format("PoStartNextPowerIrp from %s: IRP %p (%s) was not issued by "
                                                 "the power manager",
                                                 describeCodeAddress(caller).c_str(), static_cast<void*>(irp),
                                                 minorName(stack->MinorFunction)));
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
    visit->startedNext = true;
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
  if (next != nullptr)
    Machine::current().startThread("power manager", [this, device, next] { send(device, next); });
}

void PowerManager::checkIoCallDriver(PIRP irp, const void* caller) {
  bool fromPowerManager = sendingPowerIrp;
  sendingPowerIrp = false;
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

// ---- delivery and the end of an IRP -----------------------------------------------

PIRP PowerManager::allocate(PDEVICE_OBJECT target, PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type,
                            POWER_STATE state, PREQUEST_POWER_COMPLETE completion, PVOID context,
                            PDRIVER_OBJECT requester, const void* caller) {
  PIRP irp = Machine::current().irps().allocate(top->StackSize, IrpOrigin::Driver, caller, nullptr);
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
  sendingPowerIrp = true;
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
  for (const Visit& visit : record.visits) {
    if (serialized(record.minor) && !visit.startedNext) {
      bugCheck("POWER_IRP_NOT_STARTED_NEXT",
               format("%s ended, but the driver of device %s never called PoStartNextPowerIrp for it",
                      irpText(irp, record).c_str(), deviceText(visit.device).c_str()));
    }
  }
  if (record.completion != nullptr) {
    DriverCallScope scope(record.requester);
    callDriverRoutine("power completion function", reinterpret_cast<const void*>(record.completion), [&] {
      record.completion(record.target, record.minor, record.state, record.context, &irp->IoStatus);
      return 0;
    });
  }
  Machine::current().irps().release(irp, "the power manager", nullptr);
}

std::string PowerManager::irpText(PIRP irp, const IrpRecord& record) {
  if (!serialized(record.minor))
    return format("IRP %p (%s)", static_cast<void*>(irp), minorName(record.minor));
  return format("IRP %p (%s, %s)", static_cast<void*>(irp), minorName(record.minor),
                stateName(record.type, record.state).c_str());
}

// ---- the bus driver's answers -----------------------------------------------------

// The bus grants every set-power and query-power and keeps the device state it
// set; it holds a wait-wake until the device signals or the IRP is cancelled.
// Anything else it does not serve, and leaves the status as it came.
NTSTATUS PowerManager::answerAsBusDriver(PIRP irp) {
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

NTSTATUS PowerManager::holdWaitWake(PIRP irp) {
  PDEVICE_OBJECT pdo = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  bool busy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    busy = waitWakes_.count(pdo) != 0;
    if (!busy) {
      IoMarkIrpPending(irp);
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

void PowerManager::waitWakeCancelled(PDEVICE_OBJECT pdo, PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = waitWakes_.find(pdo);
    if (found != waitWakes_.end() && found->second == irp) waitWakes_.erase(found);
  }
  completeWith(irp, STATUS_CANCELLED);
}

bool PowerManager::signalWake(PDEVICE_OBJECT pdo) {
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

bool PowerManager::waitWakePending(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  return waitWakes_.count(pdo) != 0;
}

DEVICE_POWER_STATE PowerManager::devicePowerState(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = deviceStates_.find(pdo);
  return found == deviceStates_.end() ? PowerDeviceD0 : found->second;
}

void PowerManager::forgetDevice(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(lock_);
  deviceStates_.erase(pdo);
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
    for (auto& [pdo, held] : waitWakes_) {
      if (held == irp) where = "held by the bus until device " + deviceText(pdo) + " signals a wake";
    }
    text += format("      %s, requested by %s, %s\n", irpText(irp, record).c_str(),
                   describeCodeAddress(record.requestedBy).c_str(), where.c_str());
  }
  return text;
}

}  // namespace nrv

using nrv::Machine;

extern "C" {

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  return Machine::current().power().requestPowerIrp(
      DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, Irp, __builtin_return_address(0));
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  Machine& machine = Machine::current();
  machine.irps().lookup(Irp, "PoCallDriver");
  machine.devices().lookup(DeviceObject, "PoCallDriver");
  return machine.power().callDriver(DeviceObject, Irp, __builtin_return_address(0));
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  Machine& machine = Machine::current();
  machine.irps().lookup(Irp, "PoStartNextPowerIrp");
  machine.power().startNext(Irp, __builtin_return_address(0));
}

}  // extern "C"
