// Background jobs in a session: a print or read started under a name, waited
// for or cancelled by later commands, and never left running at shutdown.
#include <algorithm>

#include "background_job.h"
#include "base/text.h"
#include "scheduled_status.h"
#include "session.h"
#include "usbprn_ioctl.h"

namespace nrvsim {

namespace {

std::string workText(const PrintCommand& print) {
  return "print " + (print.file.empty() ? std::string("the built-in test page") : print.file);
}

std::string workText(const ReadCommand& read) { return "read " + std::to_string(read.count) + " bytes"; }

}  // namespace

void Session::settle() {
  bool running = std::any_of(jobs_.begin(), jobs_.end(),
                             [](const std::unique_ptr<BackgroundJob>& job) { return !job->ended(); });
  // A spooler job may have started on a thread of its own (the next one on a
  // port once the one before it ended).
  if (!running && queues_.empty()) return;
  // Returns once every other machine thread waits, which lets the clock move:
  // by the smallest step it has, far below the transcript's milliseconds.
  nrv::Scheduler& scheduler = machine_->scheduler();
  std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
  scheduler.block(
      held, [] { return false; }, scheduler.now() + 1,
      [] { return std::string("the background jobs to wait"); });
}

BackgroundJob* Session::job(const std::string& name) {
  for (const std::unique_ptr<BackgroundJob>& job : jobs_) {
    if (job->name() == name) return job.get();
  }
  return nullptr;
}

BackgroundJob* Session::jobOn(const std::string& printer, bool reads) {
  for (const std::unique_ptr<BackgroundJob>& job : jobs_) {
    if (job->target().printer == printer && job->reads() == reads) return job.get();
  }
  return nullptr;
}

BackgroundJob* Session::jobOnHandle(PFILE_OBJECT handle) {
  for (const std::unique_ptr<BackgroundJob>& job : jobs_) {
    if (!job->target().ownOpen && job->target().file == handle) return job.get();
  }
  return nullptr;
}

// One print and one read at a time per printer, as one port monitor sends them.
void Session::refuseBusy(const std::string& printer, bool reads) {
  if (BackgroundJob* busy = jobOn(printer, reads)) {
    fail(printer + (reads ? " is read" : " is printed") + " on by background job " + busy->name() +
         "; wait for it first");
  }
}

Event Session::perform(const StartCommand& command) {
  requireAwake();
  if (job(command.job) != nullptr) fail("background job " + command.job + " is not waited for yet");
  bool reads = std::holds_alternative<ReadCommand>(command.work);
  const std::string& name =
      std::visit([](const auto& work) -> const std::string& { return work.printer; }, command.work);
  NamedPrinter& printer = present(name);
  refuseBusy(name, reads);
  std::shared_ptr<Document> document;
  if (const auto* print = std::get_if<PrintCommand>(&command.work)) {
    document = Document::open(print->file, print->path);
    if (document == nullptr) fail("cannot read '" + print->path + "' any more");
  }
  JobTarget target = openTarget(*machine_, printer);
  jobs_.push_back(std::make_unique<BackgroundJob>(*machine_, command.job, target, reads,
                                                  jobBody(command, target, document)));
  return JobStarted{command.job, name,
                    std::visit([](const auto& work) { return workText(work); }, command.work)};
}

// What the job's thread runs: everything it needs is copied in, nothing of the session is shared.
std::function<JobOutcome()> Session::jobBody(const StartCommand& command, const JobTarget& target,
                                             std::shared_ptr<Document> document) {
  nrv::Machine& machine = *machine_;
  if (const auto* print = std::get_if<PrintCommand>(&command.work)) {
    uint64_t timeout = print->timeout;
    return
        [&machine, target, document, timeout] { return printDocument(machine, target, *document, timeout); };
  }
  const auto& read = std::get<ReadCommand>(command.work);
  ULONG count = read.count;
  uint64_t timeout = read.timeout;
  return [&machine, target, count, timeout] { return readBack(machine, target, count, timeout); };
}

JobWaited Session::waitFor(const std::string& name, std::optional<uint64_t> timeout) {
  BackgroundJob* waited = job(name);
  if (waited == nullptr) fail("background job " + name + " was waited for already");
  uint64_t started = now();
  JobWaited facts;
  facts.job = name;
  bool ended = waited->wait(timeout);
  facts.milliseconds = now() - started;
  if (!ended) return facts;
  facts.outcome = waited->outcome();
  facts.ownHandleClosed = waited->target().ownOpen.has_value() && waited->target().file != nullptr;
  facts.printerRemoved = closeTarget(*machine_, waited->target());
  std::erase_if(jobs_, [waited](const std::unique_ptr<BackgroundJob>& job) { return job.get() == waited; });
  return facts;
}

Event Session::perform(const WaitForJobCommand& command) { return waitFor(command.job, command.timeout); }

Event Session::perform(const CancelCommand& command) {
  BackgroundJob* cancelled = job(command.job);
  if (cancelled == nullptr) fail("background job " + command.job + " was waited for already");
  CancelSent sent;
  sent.job = command.job;
  sent.printer = cancelled->target().printer;
  sent.pipe = cancelled->reads() ? "IN" : "OUT";
  sent.jobRunning = !cancelled->ended();
  if (cancelled->target().file == nullptr)
    fail("background job " + command.job + " has no handle to cancel on");
  UCHAR pipe = cancelled->reads() ? USBPRN_PIPE_BULK_IN : USBPRN_PIPE_BULK_OUT;
  sent.status =
      machine_->io()
          .deviceControl(cancelled->target().file, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, &pipe, 1, nullptr, 0)
          .status.Status;
  return sent;
}

void Session::finishJobs() {
  withdrawStatusChanges("");
  while (!jobs_.empty()) {
    std::string name = jobs_.front()->name();
    report_.stepStarted(Step{now(), 0, "wait " + name});
    JobWaited waited = waitFor(name, std::nullopt);
    waited.scenarioEnded = true;
    forgetRemovedDevices();
    report_.stepFinished(waited);
  }
}

}  // namespace nrvsim
