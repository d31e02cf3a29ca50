// The simulated Windows machine. One Machine owns everything a driver sees:
// clock and threads, pool and verifier, fault injection, device objects, IRPs,
// device interfaces and loaded drivers. Tests and nrvsim create one per run;
// nothing of it survives the Machine.
#pragma once

#include <wdm.h>

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/io_entry.h"
#include "kernel/irp_tracker.h"
#include "kernel/mdl_tracker.h"
#include "kernel/physical_device.h"
#include "kernel/pnp_manager.h"
#include "kernel/power_manager.h"
#include "kernel/registry.h"
#include "kernel/spin_locks.h"
#include "machine/fault_injector.h"
#include "machine/module_loader.h"
#include "machine/pool_tracker.h"
#include "machine/scheduler.h"
#include "usb/usb_bus.h"

namespace nrv {

enum class OsProfile { Windows98, Windows2000 };

struct MachineOptions {
  OsProfile profile = OsProfile::Windows2000;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  // Shuts down: closes open handles, removes physical devices, unloads drivers
  // and stops the machine on anything left behind.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  static Machine& current();
  static Machine* currentOrNull();

  OsProfile profile() const { return options_.profile; }
  const char* profileName() const;

  Scheduler& scheduler() { return scheduler_; }
  PoolTracker& pool() { return pool_; }
  FaultInjector& faults() { return faults_; }
  IrpTracker& irps() { return irps_; }
  MdlTracker& mdls() { return mdls_; }
  DeviceObjects& devices() { return devices_; }
  DeviceInterfaces& interfaces() { return interfaces_; }
  IoEntry& io() { return io_; }
  ModuleLoader& modules() { return modules_; }
  SpinLockOrder& spinLockOrder() { return spinLockOrder_; }
  Registry& registry() { return registry_; }
  UsbBus& usb() { return usb_; }
  PnpManager& pnp() { return pnp_; }
  PowerManager& power() { return power_; }

  // A device the machine's bus reports, with its instance path ("USB\VID_...\...")
  // and the description its device node shows.
  PhysicalDevice& plugPhysicalDevice(const std::u16string& instancePath,
                                     const std::u16string& description = u"USB Printing Support");
  void removePhysicalDevice(PhysicalDevice& device);

  // Runs body on a new machine thread.
  void startThread(std::string name, std::function<void()> body);
  // Waits (in virtual time) until every thread started so far has ended.
  void joinThreads();
  // Lets virtual time pass for the calling thread.
  void sleep(uint64_t milliseconds);

 private:
  void shutdown();

  MachineOptions options_;
  Scheduler scheduler_;
  PoolTracker pool_;
  SpinLockOrder spinLockOrder_;
  FaultInjector faults_;
  IrpTracker irps_;
  MdlTracker mdls_;
  DeviceObjects devices_;
  DeviceInterfaces interfaces_;
  Registry registry_;
  ModuleLoader modules_;
  IoEntry io_;
  PnpManager pnp_;
  PowerManager power_;
  UsbBus usb_;
  std::list<std::unique_ptr<PhysicalDevice>> physicalDevices_;
  struct MachineThread {
    ThreadRecord* record;
    std::thread thread;
  };
  std::mutex threadsLock_;
  std::list<MachineThread> threads_;
  ThreadRecord* mainThread_;
};

}  // namespace nrv
