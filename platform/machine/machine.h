// The simulated Windows machine. A Machine builds every part a driver sees
// (clock and threads, pool and verifier, fault injection, device objects,
// IRPs, device interfaces, registry, Plug and Play and power managers, the
// bus driver and its USB buses, loaded drivers), hands each part the others
// it works with, and makes its kernel the current one for the routines
// drivers import. Tests and nrvsim create one per run; only what its
// shutdown hands over (its registry and files) survives the Machine, and a
// new Machine can boot from that, as a computer restarts.
#pragma once

#include <wdm.h>

#include <list>
#include <memory>
#include <string>

#include "base/fault_injector.h"
#include "base/machine_threads.h"
#include "base/os_profile.h"
#include "base/scheduler.h"
#include "base/system_locale.h"
#include "kernel/bus_driver.h"
#include "kernel/current_kernel.h"
#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/io_entry.h"
#include "kernel/irp_tracker.h"
#include "kernel/mdl_tracker.h"
#include "kernel/physical_device.h"
#include "kernel/pnp_manager.h"
#include "kernel/pool_tracker.h"
#include "kernel/power_manager.h"
#include "kernel/registry.h"
#include "kernel/spin_locks.h"
#include "kernel/wait_log.h"
#include "machine/machine_state.h"
#include "machine/module_loader.h"
#include "machine/system_start.h"
#include "usb/usb_bus.h"
#include "user/file_system.h"
#include "user/message_boxes.h"
#include "user/process.h"
#include "user/program.h"
#include "user/spooler.h"
#include "user/user_services.h"

namespace nrv {

struct MachineOptions {
  OsProfile profile = OsProfile::Windows2000;
  // Sees every request on every USB bus from the machine's start (see usb_traffic.h); it must outlive the
  // machine.
  UsbTrafficListener* usbTraffic = nullptr;
};

// What a machine booted from a state did at its start.
struct MachineStart {
  std::vector<StartFileOperation> fileOperations;
  // The function driver for USB printers loaded again; empty service when the machine had none.
  std::string driverService;
  std::string driverImage;  // the file its service key names; empty when the key or ImagePath is gone
  DriverLoadResult driver{STATUS_SUCCESS, nullptr, ""};
  bool spoolerStarted = false;
  std::vector<UsbDevice*> printers;  // plugged again, in the order of the state's printers
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  // Boots from what an earlier machine of the state's profile left: the
  // pending file operations are carried out, then what it ran starts again.
  explicit Machine(const MachineState& state, UsbTrafficListener* usbTraffic = nullptr);
  // Shuts down: closes open handles, removes physical devices, unloads drivers
  // and stops the machine on anything left behind.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  OsProfile profile() const { return options_.profile; }
  const char* profileName() const { return osProfileName(options_.profile); }

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
  WaitLog& waits() { return waits_; }
  Registry& registry() { return registry_; }
  PnpManager& pnp() { return pnp_; }
  PowerManager& power() { return power_; }
  // The power answers of the bus driver: device states it set, wait-wakes it holds.
  BusPower& busPower() { return busDriver_.power(); }
  // The USB bus of the first host controller.
  UsbBus& usb() { return *usbBuses_.front(); }
  // Another host controller with a USB bus of its own.
  UsbBus& addUsbBus();

  // The system default locale and its ANSI code page, settable at any time.
  SystemLocale& locale() { return locale_; }
  // What GetTickCount said at the machine's start; set it near 2^32 to see the count wrap.
  void setTickCountStart(uint32_t start) { user_.tickCountStart = start; }
  // A user-mode process; it ends when it is ended or at shutdown.
  Process& startProcess(std::string name);

  // Runs a program file as CreateProcess starts a windowed program: a process
  // named after the file, its WinMain on a thread of that process, the process
  // ended when WinMain returns. Returns once it has ended (in virtual time),
  // with the exit code, or with why the file could not start.
  ProgramRun runProgram(const std::string& file);
  // The answers message boxes will take, and the boxes programs showed.
  MessageBoxes& messageBoxes() { return messageBoxes_; }
  // Makes GetVersion return this value (as GetVersion lays it out) while
  // everything else keeps following the profile; 0 returns to the profile's.
  void reportVersion(DWORD getVersionValue) { user_.reportedVersion = getVersionValue; }

  // Loads the driver a service key names from its image file and makes it the
  // function driver for USB printers, as the driver an installed INF names.
  // With the INF's binding, each printer node it is added to that had no
  // driver installed takes the INF's class and driver key values; nodes
  // installed before keep theirs. A machine booted from this one's state
  // loads it again, with the same binding.
  DriverLoadResult loadFunctionDriver(const std::string& service,
                                      std::optional<DriverBinding> binding = std::nullopt);
  // Gives the function driver already loaded an INF's binding from now on,
  // as installing a package whose driver is running already does.
  void bindFunctionDriver(const DriverBinding& binding);
  // Registers a port monitor as AddMonitorA does: the key
  // System\CurrentControlSet\Control\Print\Monitors\<name> with its Driver file.
  void registerMonitor(const std::string& name, const std::string& driverFile);
  // Starts the spooler process, which loads the registered monitors; it ends
  // with the programs at shutdown. Only machines that are asked to run one do.
  void startSpooler();
  Spooler& spooler() { return spooler_; }
  FileSystem& files() { return files_; }
  // A program asked for a restart (ExitWindowsEx); the machine does not restart by itself.
  bool restartRequested() const { return user_.restartRequested; }

  // Shuts down under the verifier, as the destructor does, and hands over what
  // the next start finds. The machine does nothing more afterwards.
  MachineState shutDown();
  // What the start from a state did; empty for a new machine.
  const MachineStart& start() const { return start_; }

  // A device the machine's bus driver reports, with its instance path
  // ("USB\VID_...\...") and the description its device node shows.
  PhysicalDevice& plugPhysicalDevice(const std::u16string& instancePath,
                                     const std::u16string& description = u"USB Printing Support") {
    return busDriver_.plug(instancePath, description);
  }

  // Runs body on a new machine thread.
  void startThread(std::string name, std::function<void()> body) {
    threads_.start(std::move(name), std::move(body));
  }
  // Waits (in virtual time) until every thread started so far has ended.
  void joinThreads() { threads_.joinAll(); }
  // Lets virtual time pass for the calling thread.
  void sleep(uint64_t milliseconds);

 private:
  void shutdown();
  void bootFrom(const MachineState& state);

  MachineOptions options_;
  Scheduler scheduler_;
  MachineThreads threads_;
  FaultInjector faults_;
  PoolTracker pool_;
  SpinLockOrder spinLockOrder_;
  IrpTracker irps_;
  MdlTracker mdls_;
  DeviceObjects devices_;
  DeviceInterfaces interfaces_;
  Registry registry_;
  FileSystem files_;
  ModuleLoader modules_;
  IoEntry io_;
  PnpManager pnp_;
  PowerManager power_;
  WaitLog waits_;
  KernelParts kernel_;
  CurrentKernel current_;
  BusDriver busDriver_;
  std::list<std::unique_ptr<UsbBus>> usbBuses_;
  SystemLocale locale_;
  Spooler spooler_;
  MessageBoxes messageBoxes_;
  UserServices user_;
  std::list<std::unique_ptr<Process>> processes_;
  std::string functionDriverService_;
  std::optional<DriverBinding> functionDriverBinding_;
  MachineStart start_;
  bool off_ = false;
};

}  // namespace nrv
