// A run of the machine: boots it, installs the driver module as the function
// driver for USB printers, and carries out scenario commands one by one,
// reporting the facts of each.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/package_installation.h"
#include "report.h"
#include "scenario.h"
#include "status_poll_log.h"

namespace nrvsim {

// A printer as the scenario names it. The same name plugged again is the same
// printer plugged again (same serial number, so the same device node).
struct NamedPrinter {
  std::string name;
  std::string defaultSerial;
  nrv::UsbDevice* usb = nullptr;      // null while unplugged
  std::optional<std::string> serial;  // of the device plugged in under this name
  PFILE_OBJECT handle = nullptr;      // the handle open and close manage
  std::vector<FaultSpec> faults;      // scheduled since the plug
  nrv::PrinterConfig config;          // as last plugged: a restart plugs it again as it was
  // Every port status it answered since the first plug.
  std::shared_ptr<StatusPollLog> polls = std::make_shared<StatusPollLog>();
};

class BackgroundJob;
class Document;
class ScheduledStatus;
struct JobTarget;

class Session {
 public:
  // traffic, when given, sees every USB request of every machine the session runs.
  Session(nrv::OsProfile profile, Report& report, nrv::UsbTrafficListener* traffic = nullptr);
  // A machine loaded from a folder: it starts from its disk, with the driver
  // and monitor it had installed, and needs no installation.
  Session(const nrv::MachineState& state, const std::string& folder, Report& report,
          nrv::UsbTrafficListener* traffic = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Loads the module and makes it the function driver; otherwise says why
  // it could not be loaded or did not start.
  std::optional<std::string> installDriver(const std::string& modulePath);
  // Puts the module into the system folder as the port monitor and starts the
  // spooler with it; otherwise says why the spooler could not use it.
  std::optional<std::string> installMonitor(const std::string& modulePath);
  // Starts the spooler of a machine without the package, for a scenario that installs it.
  void startBareSpooler();
  // The files `install` puts on the machine.
  void setPackage(const nrv::PackageFiles& package) { package_ = package; }
  // Throws ScenarioError when the command cannot run in the machine's state.
  void run(const Command& command);
  // Waits for the background jobs the scenario left running and reports each.
  void finishJobs();
  uint64_t now() { return machine_->scheduler().nowMilliseconds(); }
  // Waits for the jobs, shuts the machine down under the verifier and hands over its disk.
  nrv::MachineState shutDown();

 private:
  Event perform(const PlugCommand& command);
  Event perform(const FaultCommand& command);
  Event perform(const ShowCommand& command);
  Event perform(const OpenCommand& command);
  Event perform(const CloseCommand& command);
  Event perform(const ResetCommand& command);
  Event perform(const PrintCommand& command);
  Event perform(const ReplyCommand& command);
  Event perform(const ReadCommand& command);
  Event perform(const SleepCommand& command);
  Event perform(const WakeCommand& command);
  Event perform(const WaitCommand& command);
  Event perform(const LocaleCommand& command);
  Event perform(const PortsCommand& command);
  Event perform(const UnplugCommand& command);
  Event perform(const StartCommand& command);
  Event perform(const WaitForJobCommand& command);
  Event perform(const CancelCommand& command);
  Event perform(const QueueCommand& command);
  Event perform(const JobCommand& command);
  Event perform(const RetryCommand& command);
  Event perform(const CancelQueueJobCommand& command);
  Event perform(const StatusCommand& command);
  Event perform(const DeviceIdCommand& command);
  Event perform(const DeletePortCommand& command);
  Event perform(const FilesCommand& command);
  Event perform(const RegistryCommand& command);
  Event perform(const RebootCommand& command);
  Event perform(const InstallCommand& command);
  Event perform(const AnswerCommand& command);
  Event perform(const UninstallCommand& command);
  Event perform(const LeftoversCommand& command);

  // ---- the package's life
  // The message boxes shown since the machine had shown `before` of them.
  std::vector<MessageBoxFacts> boxesSince(size_t before);

  // ---- restarts
  // Shuts down, starts again from the disk, and plugs the printers that were plugged in.
  MachineRestarted restart(bool requested);
  MachineRestarted describeStart(bool requested, const std::vector<NamedPrinter*>& printersBack);
  // Watches what a printer model does, for the transcript.
  void watch(NamedPrinter& printer, nrv::SimulatedPrinter& model);

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
  // Refuses faults for transfers that have one already or have gone by.
  void checkFaults(const NamedPrinter& printer, const std::vector<FaultSpec>& faults);

  // ---- background jobs
  // Lets background and spooler jobs run until each waits for the device or for time to pass,
  // so what the next command sees does not depend on how the host runs threads.
  void settle();
  BackgroundJob* job(const std::string& name);
  // A job not yet waited for that prints (or reads) on the printer.
  BackgroundJob* jobOn(const std::string& printer, bool reads);
  BackgroundJob* jobOnHandle(PFILE_OBJECT handle);
  void refuseBusy(const std::string& printer, bool reads);
  JobWaited waitFor(const std::string& name, std::optional<uint64_t> timeout);
  std::function<JobOutcome()> jobBody(const StartCommand& command, const JobTarget& target,
                                      std::shared_ptr<Document> document);

  // ---- spooler jobs
  struct JobWatch;
  struct DocumentFile {
    std::string name;  // as the scenario wrote it; empty for the test page
    std::string path;
  };
  void knownQueue(const std::string& queue);
  // The queue's oldest job that has not finished: the one a retry or a cancel is for.
  std::shared_ptr<nrv::PrintJob> unfinishedJob(const std::string& queue);
  JobWatch watch(const std::string& queue, SpoolerJobRun::How how);
  SpoolerJobRun finishWatch(JobWatch& watch);
  static void checkReceived(SpoolerJobRun& run, Document& document,
                            const std::vector<nrv::BulkTransferRecord>& transfers);
  std::shared_ptr<nrv::PrintJob> jobInErrorOnPort(const std::string& port);
  std::shared_ptr<nrv::PrintJob> jobPrintingOnPort(const std::string& port);
  std::shared_ptr<nrv::PrintJob> jobOnPort(const std::string& port,
                                           const std::function<bool(nrv::JobState)>& in);
  // Status changes still to come for the printer (every printer for an empty name) never come.
  void withdrawStatusChanges(const std::string& printer);

  nrv::UsbTrafficListener* traffic_;
  std::unique_ptr<nrv::Machine> machine_;  // replaced by a new one at each restart
  nrv::PackageFiles package_;
  Report& report_;
  std::deque<NamedPrinter> printers_;                 // a deque keeps references valid as names are added
  std::vector<std::unique_ptr<BackgroundJob>> jobs_;  // in the order they started, until waited for
  // The queues the system installed for a plug, which the session knows from then on.
  std::vector<InstalledQueue> queuesInstalledSince(size_t before);
  std::vector<std::string> queues_;                   // the printer queues added, as named
  std::map<uint32_t, DocumentFile> documents_;        // of each spooler job, by its id
  std::vector<std::unique_ptr<ScheduledStatus>> statusChanges_;
  const Command* current_ = nullptr;
};

}  // namespace nrvsim
