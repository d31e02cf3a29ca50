#include "session.h"

#include <algorithm>

#include "base/bugcheck.h"
#include "base/text.h"
#include "driver_facts.h"
#include "print_job.h"
#include "printer_config.h"
#include "printer_facts.h"

namespace nrvsim {

Session::Session(nrv::OsProfile profile, Report& report)
    : machine_(nrv::MachineOptions{profile}), report_(report) {
  report_.booted(now(), machine_.profileName());
}

bool Session::installDriver(const std::string& modulePath) {
  nrv::DriverLoadResult loaded = machine_.modules().loadDriver(modulePath, "NRVUSB");
  report_.driverLoaded(now(), describeDriver(modulePath, loaded.status, loaded.driver));
  if (loaded.driver == nullptr) return false;
  machine_.pnp().setFunctionDriver(&loaded.driver->object);
  return true;
}

void Session::run(const Command& command) {
  current_ = &command;
  report_.stepStarted(Step{now(), command.line, command.text});
  Event event = std::visit([this](const auto& action) { return perform(action); }, command.action);
  forgetRemovedDevices();
  report_.stepFinished(event);
}

void Session::fail(const std::string& message) const {
  throw ScenarioError{current_->line, current_->position, message};
}

NamedPrinter& Session::named(const std::string& name) {
  auto found = std::find_if(printers_.begin(), printers_.end(),
                            [&](const NamedPrinter& printer) { return printer.name == name; });
  if (found != printers_.end()) return *found;
  NamedPrinter printer;
  printer.name = name;
  printer.defaultSerial = nrv::format("NRV%04zu", printers_.size() + 1);
  printers_.push_back(printer);
  return printers_.back();
}

void Session::requireAwake() {
  SYSTEM_POWER_STATE state = machine_.power().systemPowerState();
  if (state != PowerSystemWorking)
    fail(std::string("the machine is asleep (") + sleepStateName(state) + "); wake it first");
}

NamedPrinter& Session::present(const std::string& name) {
  NamedPrinter& printer = named(name);
  if (printer.usb == nullptr) fail("no printer named " + name + " is plugged in");
  return printer;
}

void Session::forgetRemovedDevices() {
  std::vector<nrv::UsbDevice*> devices = machine_.usb().devices();
  for (NamedPrinter& printer : printers_) {
    if (std::find(devices.begin(), devices.end(), printer.usb) == devices.end()) printer.usb = nullptr;
  }
}

std::string Session::serialToPlug(const NamedPrinter& printer, const PlugCommand& command) {
  if (printer.usb != nullptr) {
    fail(printer.usb->connected()
             ? command.printer + " is plugged in already"
             : command.printer + " was unplugged but waits for its handle to close; close it first");
  }
  std::string serial = command.serial.value_or(printer.defaultSerial);
  for (const NamedPrinter& other : printers_) {
    if (other.usb != nullptr && !command.noSerial && other.serial == serial) {
      fail("serial number " + serial + " is taken by " + other.name + ", which is plugged in");
    }
  }
  return serial;
}

Event Session::perform(const PlugCommand& command) {
  NamedPrinter& printer = named(command.printer);
  std::string serial = serialToPlug(printer, command);
  nrv::PrinterConfig config = printerConfig(command, serial);
  auto model = std::make_unique<nrv::SimulatedPrinter>(config);
  scheduleFaults(*model, command.faults);
  printer.usb = &machine_.usb().plug(std::move(model));
  printer.serial = command.noSerial ? std::nullopt : std::optional<std::string>(serial);
  return describePlug(machine_, *printer.usb, command, config);
}

Event Session::perform(const FaultCommand& command) {
  scheduleFaults(present(command.printer).usb->model(), command.faults);
  return FaultsScheduled{command.printer, describeFaults(command.faults)};
}

Event Session::perform(const ShowCommand& command) {
  return describePrinter(machine_, present(command.printer));
}

Event Session::perform(const OpenCommand& command) {
  requireAwake();
  NamedPrinter& printer = present(command.printer);
  if (printer.handle != nullptr) fail(command.printer + " has an open handle already; close it first");
  HandleOpened opened;
  opened.printer = command.printer;
  opened.status = STATUS_OBJECT_NAME_NOT_FOUND;
  if (std::optional<std::u16string> link = printerInterfaceLink(machine_, *printer.usb)) {
    opened.link = nrv::toUtf8(*link);
    opened.status = machine_.io().open(*link, u"", &printer.handle);
  }
  return opened;
}

Event Session::perform(const CloseCommand& command) {
  requireAwake();
  NamedPrinter& printer = named(command.printer);
  if (printer.handle == nullptr) fail(command.printer + " has no open handle");
  machine_.io().close(printer.handle);
  printer.handle = nullptr;
  forgetRemovedDevices();
  return HandleClosed{command.printer, printer.usb == nullptr};
}

Event Session::perform(const PrintCommand& command) {
  requireAwake();
  return printDocument(machine_, present(command.printer), command);
}

Event Session::perform(const ReplyCommand& command) {
  nrv::UsbDeviceModel& model = present(command.printer).usb->model();
  model.queueInReply(std::vector<UCHAR>(command.bytes.begin(), command.bytes.end()));
  return ReplyQueued{command.printer, command.bytes.size(), model.inRepliesWaiting()};
}

Event Session::perform(const ReadCommand& command) {
  requireAwake();
  return readBack(machine_, present(command.printer), command);
}

Event Session::perform(const WaitCommand& command) {
  machine_.sleep(command.milliseconds);
  return TimePassed{command.milliseconds};
}

Event Session::perform(const UnplugCommand& command) {
  NamedPrinter& printer = present(command.printer);
  nrv::UsbDevice& usb = *printer.usb;
  if (!usb.connected()) fail(command.printer + " is unplugged already");
  PrinterUnplugged unplugged;
  unplugged.printer = command.printer;
  unplugged.safely = command.safely;
  if (command.safely) {
    unplugged.status = machine_.usb().removeSafely(usb);
  } else {
    machine_.usb().unplug(usb);
  }
  forgetRemovedDevices();
  if (printer.usb == nullptr) {
    unplugged.gone = true;
    return unplugged;
  }
  const nrv::DeviceNode* node = machine_.pnp().find(usb.pdo());
  unplugged.state = node != nullptr ? nrv::deviceNodeStateName(node->state) : "unknown to Plug and Play";
  unplugged.openHandles = machine_.io().openFilesOn(usb.pdo());
  return unplugged;
}

}  // namespace nrvsim
