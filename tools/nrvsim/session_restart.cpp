// Restarts in a session: the machine goes down under the verifier and starts
// again from its disk, with the printers that were plugged in plugged again.
#include "background_job.h"
#include "base/status_text.h"
#include "base/text.h"
#include "printer_facts.h"
#include "scheduled_status.h"
#include "session.h"

namespace nrvsim {

Session::Session(const nrv::MachineState& state, const std::string& folder, Report& report,
                 nrv::UsbTrafficListener* traffic)
    : traffic_(traffic), machine_(std::make_unique<nrv::Machine>(state, traffic)), report_(report) {
  report_.booted(now(), machine_->profileName());
  report_.loaded(now(), folder, describeStart(false, {}));
}

void Session::watch(NamedPrinter& printer, nrv::SimulatedPrinter& model) {
  // nrvsim checks what a printer received by sizes and checksums: a long print costs no memory.
  model.keepBulkData(false);
  nrv::Scheduler& scheduler = machine_->scheduler();
  model.observeStatusPolls([polls = printer.polls, &scheduler](UCHAR status) {
    polls->add(StatusPollLog::Poll{scheduler.nowMilliseconds(), status});
  });
}

Event Session::perform(const RebootCommand&) { return restart(false); }

MachineRestarted Session::restart(bool requested) {
  if (!jobs_.empty()) fail("background job " + jobs_.front()->name() + " still runs; wait for it first");
  withdrawStatusChanges("");
  std::vector<NamedPrinter*> back;
  std::vector<nrv::PrinterConfig> configs;
  for (NamedPrinter& printer : printers_) {
    if (printer.usb != nullptr && printer.usb->connected()) {
      back.push_back(&printer);
      configs.push_back(printer.config);
    }
    // Handles close and devices go with the machine; faults were for transfers since the plug.
    printer.usb = nullptr;
    printer.handle = nullptr;
    printer.faults.clear();
  }
  nrv::MachineState state = machine_->shutDown();
  state.printers = std::move(configs);
  machine_.reset();
  if (traffic_ != nullptr) traffic_->clockRestarted();
  machine_ = std::make_unique<nrv::Machine>(state, traffic_);
  documents_.clear();
  std::erase_if(queues_,
                [this](const std::string& queue) { return machine_->spooler().printer(queue) == nullptr; });
  const std::vector<nrv::UsbDevice*>& plugged = machine_->start().printers;
  for (size_t index = 0; index < back.size(); index++) {
    back[index]->usb = plugged[index];
    watch(*back[index], static_cast<nrv::SimulatedPrinter&>(plugged[index]->model()));
  }
  settle();
  return describeStart(requested, back);
}

MachineRestarted Session::describeStart(bool requested, const std::vector<NamedPrinter*>& printersBack) {
  const nrv::MachineStart& start = machine_->start();
  MachineRestarted facts;
  facts.requested = requested;
  for (const nrv::StartFileOperation& operation : start.fileOperations)
    facts.operations.push_back(FileOperationFacts{operation.source, operation.text, operation.outcome});
  facts.driverService = start.driverService;
  facts.driverImage = start.driverImage;
  if (!start.driverService.empty() && start.driver.driver == nullptr) {
    facts.driverFailure = !start.driver.failure.empty()
                              ? start.driver.failure
                              : "DriverEntry returned " + nrv::statusText(start.driver.status);
  }
  facts.spooler = start.spoolerStarted;
  if (start.spoolerStarted) {
    for (const nrv::MonitorState& monitor : machine_->spooler().monitors()) {
      if (!monitor.driver.empty())
        facts.monitors.push_back(MonitorBackFacts{monitor.name, monitor.driver, monitor.failure});
    }
  }
  for (NamedPrinter* printer : printersBack) {
    facts.printers.push_back(PrinterBackFacts{printer->name, nrv::toUtf8(printer->usb->instancePath()),
                                              deviceKeyText(*machine_, *printer->usb, u"PortName")});
  }
  return facts;
}

nrv::MachineState Session::shutDown() {
  finishJobs();
  for (NamedPrinter& printer : printers_) printer.handle = nullptr;
  return machine_->shutDown();
}

}  // namespace nrvsim
