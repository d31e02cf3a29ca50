#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "background_job.h"
#include "base/bugcheck.h"
#include "base/status_text.h"
#include "base/text.h"
#include "driver_facts.h"
#include "machine/driver_services.h"
#include "port_facts.h"
#include "print_job.h"
#include "printer_config.h"
#include "printer_facts.h"
#include "scheduled_status.h"
#include "usbprn_ioctl.h"

namespace nrvsim {

Session::Session(nrv::OsProfile profile, Report& report, nrv::UsbTrafficListener* traffic)
    : traffic_(traffic),
      machine_(std::make_unique<nrv::Machine>(nrv::MachineOptions{profile, traffic})),
      report_(report) {
  report_.booted(now(), machine_->profileName());
}

// Jobs end before the machine they run on; finishJobs has normally waited for them already.
Session::~Session() {
  for (const std::unique_ptr<BackgroundJob>& job : jobs_) {
    job->wait(std::nullopt);
    closeTarget(*machine_, job->target());
  }
}

std::optional<std::string> Session::installDriver(const std::string& modulePath) {
  nrv::DriverLoadResult loaded{STATUS_OBJECT_NAME_NOT_FOUND, nullptr, ""};
  // Setup copies the driver where its system keeps drivers and writes its service key.
  std::string imagePath = machine_->profile() == nrv::OsProfile::Windows98 ? "SYSTEM\\NRVUSB.SYS"
                                                                           : "System32\\DRIVERS\\NRVUSB.SYS";
  if (machine_->files().putModuleFile(machine_->files().windowsDirectory() + "\\" + imagePath, modulePath)) {
    nrv::registerDriverService(machine_->registry(), kDriverService, imagePath);
    loaded = machine_->loadFunctionDriver(kDriverService);
  } else {
    loaded.failure = modulePath + ": " + std::strerror(errno);
  }
  report_.driverLoaded(now(), describeDriver(modulePath, loaded));
  if (!loaded.failure.empty()) return "cannot load driver '" + modulePath + "': " + loaded.failure;
  if (loaded.driver == nullptr) {
    return "driver '" + modulePath + "' did not start: DriverEntry returned " +
           nrv::statusText(loaded.status);
  }
  return std::nullopt;
}

std::optional<std::string> Session::installMonitor(const std::string& modulePath) {
  if (!machine_->files().putModuleFile(machine_->files().systemDirectory() + "\\" + kMonitorFile, modulePath))
    return "cannot read monitor '" + modulePath + "': " + std::strerror(errno);
  machine_->registerMonitor(kMonitorName, kMonitorFile);
  machine_->startSpooler();
  MonitorStarted started = describeMonitor(*machine_, modulePath, printers_);
  report_.monitorStarted(now(), started);
  if (!started.failure.empty()) return "monitor '" + modulePath + "' did not start: " + started.failure;
  return std::nullopt;
}

void Session::startBareSpooler() {
  machine_->startSpooler();
  report_.spoolerStarted(now());
}

void Session::run(const Command& command) {
  current_ = &command;
  report_.stepStarted(Step{now(), command.line, command.text});
  Event event = std::visit([this](const auto& action) { return perform(action); }, command.action);
  settle();
  forgetRemovedDevices();
  report_.stepFinished(event);
  // The machine restarts once the program that asked for it is done.
  if (machine_->restartRequested()) {
    report_.stepStarted(Step{now(), command.line, "reboot"});
    report_.stepFinished(restart(true));
  }
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
  SYSTEM_POWER_STATE state = machine_->power().systemPowerState();
  if (state != PowerSystemWorking)
    fail(std::string("the machine is asleep (") + sleepStateName(state) + "); wake it first");
}

NamedPrinter& Session::present(const std::string& name) {
  NamedPrinter& printer = named(name);
  if (printer.usb == nullptr) fail("no printer named " + name + " is plugged in");
  return printer;
}

void Session::forgetRemovedDevices() {
  std::vector<nrv::UsbDevice*> devices = machine_->usb().devices();
  for (NamedPrinter& printer : printers_) {
    if (std::find(devices.begin(), devices.end(), printer.usb) == devices.end()) printer.usb = nullptr;
  }
}

std::string Session::serialToPlug(const NamedPrinter& printer, const PlugCommand& command) {
  if (printer.usb != nullptr) {
    fail(printer.usb->connected()
             ? command.printer + " is plugged in already"
             : command.printer + " was unplugged but waits for its handles to close; close them first");
  }
  std::string serial = command.serial.value_or(printer.defaultSerial);
  // An empty serial number names no device, so it is nobody's.
  for (const NamedPrinter& other : printers_) {
    if (other.usb != nullptr && !command.noSerial && !serial.empty() && other.serial == serial) {
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
  watch(printer, *model);
  scheduleFaults(*model, command.faults);
  size_t queuesBefore = machine_->spooler().printers().size();
  printer.config = config;
  printer.usb = &machine_->usb().plug(std::move(model));
  printer.serial = command.noSerial ? std::nullopt : std::optional<std::string>(serial);
  printer.faults = command.faults;
  PrinterPlugged plugged = describePlug(*machine_, *printer.usb, command, config);
  plugged.queuesInstalled = queuesInstalledSince(queuesBefore);
  return plugged;
}

void Session::checkFaults(const NamedPrinter& printer, const std::vector<FaultSpec>& faults) {
  for (const FaultSpec& fault : faults) {
    for (const FaultSpec& earlier : printer.faults) {
      if (earlier.direction == fault.direction && earlier.nth == fault.nth)
        fail(describeTransfer(fault) + " of " + printer.name + " has a fault already; a transfer takes one");
    }
    unsigned submitted = printer.usb->model().bulkTransfersSubmitted(endpointFor(fault.direction));
    if (fault.nth <= submitted) {
      fail(nrv::format("%s of %s has gone by (%u submitted since the plug); name a later one",
                       describeTransfer(fault).c_str(), printer.name.c_str(), submitted));
    }
  }
}

Event Session::perform(const FaultCommand& command) {
  NamedPrinter& printer = present(command.printer);
  checkFaults(printer, command.faults);
  scheduleFaults(printer.usb->model(), command.faults);
  printer.faults.insert(printer.faults.end(), command.faults.begin(), command.faults.end());
  return FaultsScheduled{command.printer, describeFaults(command.faults)};
}

Event Session::perform(const ShowCommand& command) {
  return describePrinter(*machine_, present(command.printer));
}

Event Session::perform(const OpenCommand& command) {
  requireAwake();
  NamedPrinter& printer = present(command.printer);
  if (printer.handle != nullptr) fail(command.printer + " has an open handle already; close it first");
  HandleOpened opened;
  opened.printer = command.printer;
  opened.status = STATUS_OBJECT_NAME_NOT_FOUND;
  if (std::optional<std::u16string> link = printerInterfaceLink(*machine_, *printer.usb)) {
    opened.link = nrv::toUtf8(*link);
    opened.status = machine_->io().open(*link, u"", &printer.handle);
  }
  return opened;
}

Event Session::perform(const CloseCommand& command) {
  requireAwake();
  NamedPrinter& printer = named(command.printer);
  if (printer.handle == nullptr) fail(command.printer + " has no open handle");
  if (BackgroundJob* user = jobOnHandle(printer.handle))
    fail("background job " + user->name() + " works on " + command.printer + "'s handle; wait for it first");
  machine_->io().close(printer.handle);
  printer.handle = nullptr;
  forgetRemovedDevices();
  return HandleClosed{command.printer, printer.usb == nullptr};
}

Event Session::perform(const ResetCommand& command) {
  requireAwake();
  NamedPrinter& printer = named(command.printer);
  if (printer.handle == nullptr) fail(command.printer + " has no open handle; open it first");
  NTSTATUS status = machine_->io()
                        .deviceControl(printer.handle, IOCTL_USBPRN_SOFT_RESET, nullptr, 0, nullptr, 0)
                        .status.Status;
  return PrinterReset{command.printer, status};
}

Event Session::perform(const PrintCommand& command) {
  requireAwake();
  NamedPrinter& printer = present(command.printer);
  refuseBusy(command.printer, false);
  std::unique_ptr<Document> document = Document::open(command.file, command.path);
  if (document == nullptr) fail("cannot read '" + command.path + "' any more");
  JobTarget target = openTarget(*machine_, printer);
  DocumentPrinted printed = printDocument(*machine_, target, *document, command.timeout);
  closeTarget(*machine_, target);
  return printed;
}

Event Session::perform(const ReplyCommand& command) {
  nrv::UsbDeviceModel& model = present(command.printer).usb->model();
  model.queueInReply(std::vector<UCHAR>(command.bytes.begin(), command.bytes.end()));
  // A background read may take the reply at once: count once it has.
  settle();
  return ReplyQueued{command.printer, command.bytes.size(), model.inRepliesWaiting()};
}

Event Session::perform(const ReadCommand& command) {
  requireAwake();
  NamedPrinter& printer = present(command.printer);
  refuseBusy(command.printer, true);
  JobTarget target = openTarget(*machine_, printer);
  DataRead read = readBack(*machine_, target, command.count, command.timeout);
  closeTarget(*machine_, target);
  return read;
}

Event Session::perform(const WaitCommand& command) {
  machine_->sleep(command.milliseconds);
  return TimePassed{command.milliseconds};
}

Event Session::perform(const LocaleCommand& command) {
  machine_->locale().setLcid(command.lcid);
  return LocaleChanged{command.lcid, machine_->locale().codePage()};
}

// EnumPorts is a program's call, and no program runs while the machine sleeps.
Event Session::perform(const PortsCommand&) {
  requireAwake();
  return PortsListed{describePorts(*machine_, printers_)};
}

Event Session::perform(const UnplugCommand& command) {
  NamedPrinter& printer = present(command.printer);
  nrv::UsbDevice& usb = *printer.usb;
  if (!usb.connected()) fail(command.printer + " is unplugged already");
  // A status change still to come would find no printer.
  withdrawStatusChanges(command.printer);
  PrinterUnplugged unplugged;
  unplugged.printer = command.printer;
  unplugged.safely = command.safely;
  if (command.safely) {
    unplugged.status = machine_->usb().removeSafely(usb);
  } else {
    machine_->usb().unplug(usb);
  }
  forgetRemovedDevices();
  if (printer.usb == nullptr) {
    unplugged.gone = true;
    return unplugged;
  }
  const nrv::DeviceNode* node = machine_->pnp().find(usb.pdo());
  unplugged.state = node != nullptr ? nrv::deviceNodeStateName(node->state) : "unknown to Plug and Play";
  unplugged.openHandles = machine_->io().openFilesOn(usb.pdo());
  return unplugged;
}

}  // namespace nrvsim
