// System sleep and wake in a session: which stacks the power manager serves,
// in which order, and how the printers came out of it.
#include "base/bugcheck.h"
#include "base/text.h"
#include "session.h"

namespace nrvsim {

std::vector<PDEVICE_OBJECT> Session::startedDevices() {
  std::vector<PDEVICE_OBJECT> devices;
  for (const nrv::DeviceNode* node : machine_->pnp().nodes()) {
    if (node->state == nrv::DeviceNodeState::Started) devices.push_back(node->pdo);
  }
  return devices;
}

std::string Session::nameOf(PDEVICE_OBJECT pdo) {
  const nrv::DeviceNode* node = machine_->pnp().find(pdo);
  for (const NamedPrinter& printer : printers_) {
    if (printer.usb == nullptr) continue;
    if (printer.usb->pdo() == pdo) return printer.name;
    if (node != nullptr && node->parent != nullptr && node->parent->pdo == printer.usb->pdo()) {
      return printer.name + "'s child " + nrv::toUtf8(node->instancePath);
    }
  }
  return node != nullptr ? nrv::toUtf8(node->instancePath) : "a device unknown to Plug and Play";
}

std::vector<DevicePower> Session::devicePowerStates() {
  std::vector<DevicePower> states;
  for (const NamedPrinter& printer : printers_) {
    if (printer.usb == nullptr || !printer.usb->connected()) continue;
    DEVICE_POWER_STATE state = machine_->busPower().devicePowerState(printer.usb->pdo());
    states.push_back(DevicePower{printer.name, nrv::format("D%d", static_cast<int>(state) - 1)});
  }
  return states;
}

// Children are put to sleep before their parents.
Event Session::perform(const SleepCommand& command) {
  if (machine_->power().systemPowerState() != PowerSystemWorking)
    fail("the machine is asleep already; wake it first");
  std::vector<PDEVICE_OBJECT> devices = startedDevices();
  nrv::SystemPowerResult result = machine_->power().setSystemPower(
      command.state, std::vector<PDEVICE_OBJECT>(devices.rbegin(), devices.rend()));
  PowerChanged changed;
  changed.requested = sleepStateName(command.state);
  changed.status = result.status;
  if (result.vetoedBy != nullptr) changed.vetoedBy = nameOf(result.vetoedBy);
  changed.systemState = sleepStateName(machine_->power().systemPowerState());
  changed.devices = devicePowerStates();
  return changed;
}

// Parents wake before their children.
Event Session::perform(const WakeCommand&) {
  if (machine_->power().systemPowerState() == PowerSystemWorking)
    fail("the machine is awake; there is nothing to wake");
  std::vector<std::string> arriving;
  for (const NamedPrinter& printer : printers_) {
    if (printer.usb != nullptr && machine_->usb().waitsForWake(*printer.usb)) arriving.push_back(printer.name);
  }
  nrv::SystemPowerResult result = machine_->power().setSystemPower(PowerSystemWorking, startedDevices());
  PowerChanged changed;
  changed.requested = "S0";
  changed.status = result.status;
  changed.systemState = sleepStateName(machine_->power().systemPowerState());
  changed.devices = devicePowerStates();
  changed.arrived = arriving;
  return changed;
}

}  // namespace nrvsim
