// A run of the machine: boots it, installs the driver module as the function
// driver for USB printers, and carries out scenario commands one by one,
// reporting the facts of each.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "report.h"
#include "scenario.h"

namespace nrvsim {

// A printer as the scenario names it. The same name plugged again is the same
// printer plugged again (same serial number, so the same device node).
struct NamedPrinter {
  std::string name;
  std::string defaultSerial;
  nrv::UsbDevice* usb = nullptr;      // null while unplugged
  std::optional<std::string> serial;  // of the device plugged in under this name
  PFILE_OBJECT handle = nullptr;      // the handle open and close manage
};

class Session {
 public:
  Session(nrv::OsProfile profile, Report& report);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads the module and makes it the function driver; false when DriverEntry failed.
  bool installDriver(const std::string& modulePath);
  // Throws ScenarioError when the command cannot run in the machine's state.
  void run(const Command& command);
  uint64_t now() { return machine_.scheduler().nowMilliseconds(); }

 private:
  Event perform(const PlugCommand& command);
  Event perform(const FaultCommand& command);
  Event perform(const ShowCommand& command);
  Event perform(const OpenCommand& command);
  Event perform(const CloseCommand& command);
  Event perform(const PrintCommand& command);
  Event perform(const ReplyCommand& command);
  Event perform(const ReadCommand& command);
  Event perform(const SleepCommand& command);
  Event perform(const WakeCommand& command);
  Event perform(const WaitCommand& command);
  Event perform(const UnplugCommand& command);

  [[noreturn]] void fail(const std::string& message) const;
  // Programs do not run while the machine sleeps, so nothing opens, closes, reads or writes.
  void requireAwake();
  // A printer whose device is on the bus (its cable may be pulled while a handle keeps it).
  NamedPrinter& present(const std::string& name);
  // The printer of that name, known from now on.
  NamedPrinter& named(const std::string& name);
  // The serial number a plug gives the printer; fails when the name or the number is in use.
  std::string serialToPlug(const NamedPrinter& printer, const PlugCommand& command);
  // The power manager serves the stacks of started device nodes; parents first.
  std::vector<PDEVICE_OBJECT> startedDevices();
  // Forgets devices the bus no longer has (removed once their last handle closed).
  void forgetRemovedDevices();
  // The name of the printer a physical device belongs to, its own or its parent's.
  std::string nameOf(PDEVICE_OBJECT pdo);
  std::vector<DevicePower> devicePowerStates();

  nrv::Machine machine_;
  Report& report_;
  std::deque<NamedPrinter> printers_;  // a deque keeps references valid as names are added
  const Command* current_ = nullptr;
};

}  // namespace nrvsim
