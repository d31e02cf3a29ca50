// The power manager: power IRPs drivers ask for (PoRequestPowerIrp), the
// serialisation of set-power and query-power IRPs that PoCallDriver and
// PoStartNextPowerIrp carry out, and system sleep and wake.
//
// Each device object takes one system and one device set-power or query-power
// IRP at a time; the next one waits until the driver holding the current one
// has called PoStartNextPowerIrp for it, and is then delivered at
// PASSIVE_LEVEL on a machine thread of its own. The verifier's power rules
// (power_rules.cpp) stop the machine when a driver passes such an IRP on or
// completes it without having called PoStartNextPowerIrp, or sends any power
// IRP with IoCallDriver. What the bus driver answers is bus_power.h's.
#pragma once

#include <wdm.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace nrv {

class DeviceObjects;
class FaultInjector;
class IrpTracker;
class MachineThreads;
class Scheduler;

struct SystemPowerResult {
  NTSTATUS status = STATUS_SUCCESS;   // success, or the status of the refused query
  PDEVICE_OBJECT vetoedBy = nullptr;  // the physical device whose stack refused the sleep
};

class PowerManager {
 public:
  PowerManager(Scheduler& scheduler, MachineThreads& threads, IrpTracker& irps, DeviceObjects& devices,
               FaultInjector& faults);
  PowerManager(const PowerManager&) = delete;
  PowerManager& operator=(const PowerManager&) = delete;

  // Sleep (S1 to hibernate): a system query to every stack in the order given;
  // the first refusal vetoes the sleep and nothing more is sent. Otherwise a
  // system set-power to each stack in the same order. Wake (PowerSystemWorking):
  // a system set-power to each, then the wake listeners run. Runs at
  // PASSIVE_LEVEL in the calling machine thread and waits for each IRP in virtual time.
  SystemPowerResult setSystemPower(SYSTEM_POWER_STATE state, const std::vector<PDEVICE_OBJECT>& pdosInOrder);
  SYSTEM_POWER_STATE systemPowerState();
  // Runs each time the machine has woken, after every stack has been told.
  void addWakeListener(std::function<void()> listener);
  // One system query or set-power IRP to the top of a device's stack, waited for.
  IO_STATUS_BLOCK sendSystemPowerIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state);

  // The kernel services.
  NTSTATUS requestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* irp, const void* caller);
  NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, const void* caller);
  void startNext(PIRP irp, const void* caller);

  // Checks of the I/O manager: a power IRP goes down only through PoCallDriver,
  // and a set-power or query-power IRP is completed only after PoStartNextPowerIrp.
  void checkIoCallDriver(PIRP irp, const void* caller);
  void checkCompletion(PIRP irp, const void* caller);

  // Power IRPs that have not finished, described for the shutdown report.
  std::string describeOutstanding();

 private:
  struct Visit {
    PDEVICE_OBJECT device;
    int location;  // the stack location it was dispatched at
    bool startedNext = false;
  };
  struct IrpRecord {
    PDEVICE_OBJECT target;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    PDRIVER_OBJECT requester;  // the driver whose completion function runs
    const void* requestedBy;
    std::vector<Visit> visits;  // every device it was dispatched to, in order
  };
  // One queue per device object and kind of IRP (system or device).
  using QueueKey = std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>;
  struct DeviceQueue {
    PIRP active = nullptr;
    std::deque<PIRP> waiting;
  };

  PIRP allocate(PDEVICE_OBJECT target, PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type,
                POWER_STATE state, PREQUEST_POWER_COMPLETE completion, PVOID context,
                PDRIVER_OBJECT requester, const void* caller);
  // Hands the IRP to the device now, or queues it behind the one the device holds.
  NTSTATUS deliver(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS send(PDEVICE_OBJECT device, PIRP irp);
  IrpRecord* find(PIRP irp);
  static Visit* visitOf(IrpRecord& record, PDEVICE_OBJECT device);
  static NTSTATUS finished(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  void finish(PIRP irp);

  // The verifier's rules (power_rules.cpp); the callers hold lock_ where they take a record.
  static void checkStartNextLocation(PIRP irp, const void* caller);
  Visit& checkFirstStartNext(PIRP irp, IrpRecord* record, PDEVICE_OBJECT device, UCHAR minor,
                             const void* caller);
  void checkPassedOn(PIRP irp, PIO_STACK_LOCATION next, const void* caller);
  void checkEveryDriverStartedNext(PIRP irp, const IrpRecord& record);

  // Names for reports.
  static bool serialized(UCHAR minor);
  static const char* minorName(UCHAR minor);
  static std::string stateName(POWER_STATE_TYPE type, POWER_STATE state);
  std::string deviceText(PDEVICE_OBJECT device);
  std::string irpText(PIRP irp, const IrpRecord& record);

  // Set just before the power manager calls IoCallDriver and taken by the
  // check there: any other IoCallDriver of a power IRP is a driver's.
  static thread_local bool sendingPowerIrp_;

  Scheduler& scheduler_;
  MachineThreads& threads_;
  IrpTracker& irps_;
  DeviceObjects& devices_;
  FaultInjector& faults_;
  std::mutex lock_;
  std::map<PIRP, IrpRecord> records_;
  std::map<QueueKey, DeviceQueue> queues_;
  SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
  std::vector<std::function<void()>> wakeListeners_;
};

}  // namespace nrv
