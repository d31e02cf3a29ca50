// The spooler's printers and jobs in a session: queues on the monitor's ports,
// documents sent as spooler jobs and followed call by call, retries and
// cancels, the printer's status changed at once or later, the device ID
// through the spooler, and ports deleted.
#include <algorithm>

#include "base/text.h"
#include "port_facts.h"
#include "print_job.h"
#include "scheduled_status.h"
#include "session.h"
#include "spooler_job_record.h"

namespace nrvsim {

namespace {

SpoolerResult resultOf(const nrv::SpoolerAnswer& answer) {
  return SpoolerResult{answer.result != FALSE, answer.result != FALSE ? 0u : answer.error};
}

}  // namespace

// What a job does while a command waits for it, followed from where the command began.
struct Session::JobWatch {
  std::shared_ptr<nrv::PrintJob> job;
  SpoolerJobRun run;
  size_t firstEvent = 0;
  const NamedPrinter* printer = nullptr;  // plugged in with the queue's port when the command began
  size_t firstPoll = 0;
  size_t firstTransfer = 0;
  uint64_t started = 0;
};

// Taken before the job moves, so that nothing it does escapes the record.
Session::JobWatch Session::watch(const std::string& queueName, SpoolerJobRun::How how) {
  JobWatch watch;
  watch.run.how = how;
  std::shared_ptr<nrv::PrinterQueue> queue = machine_->spooler().printer(queueName);
  watch.run.queue = queue->name();
  watch.run.port = queue->port();
  watch.printer = printerOnPort(*machine_, printers_, watch.run.port);
  if (watch.printer != nullptr) {
    watch.firstPoll = watch.printer->polls->size();
    watch.firstTransfer = watch.printer->usb->model().bulkLogSize();
  }
  watch.started = now();
  return watch;
}

SpoolerJobRun Session::finishWatch(JobWatch& watch) {
  // A call the job makes at the very moment the wait ended is in the record or not, whichever
  // thread the host ran first; once every thread waits again it is in.
  settle();
  SpoolerJobRun& run = watch.run;
  run.id = watch.job->id();
  run.document = watch.job->name();
  run.milliseconds = now() - watch.started;
  run.state = stateText(watch.job->state());
  run.lastError = watch.job->lastError();
  run.bytesTaken = watch.job->bytesTaken();
  run.lines = jobLines(*watch.job, watch.firstEvent, watch.printer ? watch.printer->polls.get() : nullptr,
                       watch.firstPoll);
  const DocumentFile& file = documents_[run.id];
  std::unique_ptr<Document> document = Document::open(file.name, file.path);
  if (document == nullptr) return run;
  run.size = document->size();
  // The printer may have been unplugged meanwhile; its log is then gone with it.
  // A cancel prints nothing worth checking, and a job that follows one still printing gets
  // that one's rest first.
  if (run.how != SpoolerJobRun::How::Cancelled && !run.behind && !run.follows && watch.printer != nullptr &&
      watch.printer->usb != nullptr)
    checkReceived(run, *document, watch.printer->usb->model().bulkLogSince(watch.firstTransfer));
  return run;
}

// What the printer received while the command waited must be the document's first bytes, in order.
void Session::checkReceived(SpoolerJobRun& run, Document& document,
                            const std::vector<nrv::BulkTransferRecord>& transfers) {
  run.received = 0;
  run.intact = true;
  std::vector<UCHAR> expected;
  for (const nrv::BulkTransferRecord& record : transfers) {
    if ((record.endpoint & nrv::kUsbDirectionIn) != 0) continue;
    expected.resize(record.moved);
    size_t got = run.intact ? document.read(expected.data(), expected.size()) : 0;
    run.intact =
        run.intact && got == record.moved && record.checksum == nrv::bulkChecksum(expected.data(), got);
    *run.received += record.moved;
  }
}

// A job that waits behind one in error waits until that one is retried or cancelled.
std::shared_ptr<nrv::PrintJob> Session::jobInErrorOnPort(const std::string& port) {
  return jobOnPort(port, [](nrv::JobState state) { return state == nrv::JobState::Error; });
}

// One that a wait left printing goes on first: a job sent after it prints after its rest.
std::shared_ptr<nrv::PrintJob> Session::jobPrintingOnPort(const std::string& port) {
  return jobOnPort(port, [](nrv::JobState state) {
    return state == nrv::JobState::Queued || state == nrv::JobState::Printing;
  });
}

std::shared_ptr<nrv::PrintJob> Session::jobOnPort(const std::string& port,
                                                  const std::function<bool(nrv::JobState)>& in) {
  for (const std::string& name : queues_) {
    std::shared_ptr<nrv::PrinterQueue> queue = machine_->spooler().printer(name);
    if (queue == nullptr || !samePortName(queue->port(), port)) continue;
    for (const std::shared_ptr<nrv::PrintJob>& job : machine_->spooler().jobs(name)) {
      if (in(job->state())) return job;
    }
  }
  return nullptr;
}

// The spooler adds a printer at the end of its list.
std::vector<InstalledQueue> Session::queuesInstalledSince(size_t before) {
  std::vector<InstalledQueue> installed;
  std::vector<std::shared_ptr<nrv::PrinterQueue>> printers = machine_->spooler().printers();
  for (size_t index = before; index < printers.size(); index++) {
    installed.push_back(InstalledQueue{printers[index]->name(), printers[index]->port()});
    queues_.push_back(printers[index]->name());
  }
  return installed;
}

Event Session::perform(const QueueCommand& command) {
  requireAwake();
  nrv::PrinterTimeouts timeouts;
  if (command.notSelectedSeconds)
    timeouts.notSelected = static_cast<DWORD>(*command.notSelectedSeconds * 1000);
  if (command.retrySeconds) timeouts.retry = static_cast<DWORD>(*command.retrySeconds * 1000);
  // The local monitor's ports have nothing attached on this machine.
  for (const nrv::PortRecord& port : machine_->spooler().ports()) {
    if (samePortName(port.name, command.port) && port.monitor.value_or("") != kMonitorName)
      fail(command.port + " is a local port with nothing attached here; give the queue a port of " +
           kMonitorName);
  }
  QueueAdded added;
  added.queue = command.queue;
  added.port = command.port;
  added.notSelectedMilliseconds = timeouts.notSelected;
  added.retryMilliseconds = timeouts.retry;
  added.result = resultOf(machine_->spooler().addPrinter(command.queue, command.port, timeouts));
  if (added.result.succeeded) {
    queues_.push_back(command.queue);
    added.port = machine_->spooler().printer(command.queue)->port();  // as its monitor lists it
  }
  return added;
}

Event Session::perform(const JobCommand& command) {
  requireAwake();
  knownQueue(command.queue);
  std::unique_ptr<Document> document = Document::open(command.file, command.path);
  if (document == nullptr) fail("cannot read '" + command.path + "' any more");
  std::string name = document->name();
  JobWatch watch = this->watch(command.queue, SpoolerJobRun::How::Submitted);
  std::shared_ptr<nrv::PrintJob> ahead = jobInErrorOnPort(watch.run.port);
  std::shared_ptr<nrv::PrintJob> printing = jobPrintingOnPort(watch.run.port);
  if (printing != nullptr) watch.run.follows = printing->id();
  watch.job = machine_->spooler().submitJob(command.queue, name,
                                           std::make_unique<SpooledDocument>(std::move(document)));
  documents_[watch.job->id()] = DocumentFile{command.file, command.path};
  if (ahead != nullptr) {
    watch.run.behind = ahead->id();
  } else {
    machine_->spooler().waitForJob(*watch.job, command.timeout);
  }
  return finishWatch(watch);
}

void Session::knownQueue(const std::string& queue) {
  if (machine_->spooler().printer(queue) == nullptr)
    fail("the spooler has no printer named " + queue + "; make it with printer first");
}

// The queue's oldest job that has not finished: the one a retry or a cancel is for.
std::shared_ptr<nrv::PrintJob> Session::unfinishedJob(const std::string& queue) {
  knownQueue(queue);
  for (const std::shared_ptr<nrv::PrintJob>& job : machine_->spooler().jobs(queue)) {
    if (!nrv::jobFinished(job->state())) return job;
  }
  fail(queue + " has no job that is still to finish");
}

Event Session::perform(const RetryCommand& command) {
  requireAwake();
  std::shared_ptr<nrv::PrintJob> job = unfinishedJob(command.queue);
  if (job->state() != nrv::JobState::Error) {
    fail(nrv::format("job %u on %s is %s, not in error: only a job in error is retried", job->id(),
                     command.queue.c_str(), stateText(job->state())));
  }
  JobWatch watch = this->watch(command.queue, SpoolerJobRun::How::Retried);
  watch.run.stateBefore = stateText(job->state());
  watch.job = job;
  watch.firstEvent = job->events().size();
  machine_->spooler().retryJob(*job);
  machine_->spooler().waitForJob(*job, command.timeout);
  return finishWatch(watch);
}

// A job in error ends at once with its EndDocPort; a printing one after its write in progress.
Event Session::perform(const CancelQueueJobCommand& command) {
  requireAwake();
  std::shared_ptr<nrv::PrintJob> job = unfinishedJob(command.queue);
  JobWatch watch = this->watch(command.queue, SpoolerJobRun::How::Cancelled);
  watch.run.stateBefore = stateText(job->state());
  watch.job = job;
  watch.firstEvent = job->events().size();
  machine_->spooler().cancelJob(*job);
  machine_->spooler().waitForJob(*job);
  return finishWatch(watch);
}

namespace {

const char* changeText(StatusCommand::Change change) {
  switch (change) {
    case StatusCommand::Change::PaperOut:
      return "paper out";
    case StatusCommand::Change::PaperIn:
      return "paper in";
    case StatusCommand::Change::Byte:
      break;
  }
  return "status";
}

}  // namespace

Event Session::perform(const StatusCommand& command) {
  NamedPrinter& printer = present(command.printer);
  auto& model = static_cast<nrv::SimulatedPrinter&>(printer.usb->model());
  PortStatusSet set;
  set.printer = command.printer;
  set.change = changeText(command.change);
  set.after = command.after;
  if (command.after) {
    if (command.change == StatusCommand::Change::Byte) set.status = command.status;
    statusChanges_.push_back(std::make_unique<ScheduledStatus>(*machine_, model, command.printer, command));
    return set;
  }
  set.status = changedStatus(command, model.portStatus());
  model.setPortStatus(*set.status);
  set.prints = nrv::printsWith(*set.status);
  return set;
}

// GetPrinterDataFromPort with the device ID's control code, as a bidirectional printer driver asks.
Event Session::perform(const DeviceIdCommand& command) {
  requireAwake();
  knownQueue(command.queue);
  constexpr DWORD kDeviceIdControl = 17;
  constexpr size_t kDeviceIdBuffer = 1024;
  std::vector<uint8_t> output(kDeviceIdBuffer);
  DWORD returned = 0;
  DeviceIdAsked asked;
  asked.queue = command.queue;
  asked.result = resultOf(
      machine_->spooler().printerDataFromPort(command.queue, kDeviceIdControl, {}, &output, &returned));
  asked.returned = returned;
  if (asked.result.succeeded) {
    size_t length = std::min<size_t>(returned, output.size());
    asked.deviceId.assign(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(length));
  }
  return asked;
}

Event Session::perform(const DeletePortCommand& command) {
  requireAwake();
  return PortDeleted{command.port, resultOf(machine_->spooler().deletePort(nullptr, command.port))};
}

void Session::withdrawStatusChanges(const std::string& printer) {
  std::erase_if(statusChanges_, [&](const std::unique_ptr<ScheduledStatus>& change) {
    return printer.empty() || change->printer() == printer;
  });
}

}  // namespace nrvsim
