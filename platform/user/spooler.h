// The print spooler: a process named "spooler" that loads every port monitor
// registered under System\CurrentControlSet\Control\Print\Monitors (each key's
// Driver value names its DLL in the system folder, a file a host module plays), calls its DllEntryPoint
// and InitializeMonitorEx, and answers the programs' port calls on threads of
// its own by calling the monitors there. Its built-in local monitor comes
// first. The spooler remembers which monitor listed which port at its last
// enumeration, and sends a port's deletion to that monitor.
//
// Monitors are added and deleted while it runs, as AddMonitor and
// DeleteMonitor do: a new one is loaded at once, a deleted one let go.
//
// It keeps printers, each on a port one of the monitors lists, in the
// registry (loaded again when it starts) and in memory, and prints
// their jobs as the spooler of Windows does: every job on a thread of its
// own, OpenPort once per port (the handle is kept until the spooler stops),
// StartDocPort with the printer's name and the job's id, WritePort over the
// document in pieces until the port took every byte or a call fails, then
// EndDocPort. Jobs for one port print one after the other; jobs for two ports
// print at the same time. A job whose write fails, or whose writes move
// nothing for the printer's retry timeout, is in error and keeps its port
// (its document still open) until it is retried or cancelled.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/os_profile.h"
#include "base/scheduler.h"
#include "user/port_info.h"
#include "user/port_monitor.h"
#include "user/print_job.h"
#include "user/printer_queue.h"

namespace nrv {

class Process;
class Registry;
class FileSystem;
struct UserModule;

// A monitor registered with the spooler, and whether it could be loaded.
struct MonitorState {
  std::string name;
  std::string driver;   // the file the registry names; empty for the built-in one
  std::string failure;  // why it is not in use; empty when it is
  DWORD error = NO_ERROR;  // the error a program is told for that failure
};

// What a port call answers: its result and, when it failed, the error.
struct SpoolerAnswer {
  BOOL result;
  DWORD error;
};

class Spooler {
 public:
  static constexpr const char* kMonitorsKey = "System\\CurrentControlSet\\Control\\Print\\Monitors";
  static constexpr const char* kPortsKey = "System\\CurrentControlSet\\Control\\Print\\Ports";
  // The spooler hands a port the document in pieces of this many bytes.
  static constexpr DWORD kPieceSize = 4096;
  // The pause after a write that moved nothing, before the next one.
  static constexpr uint64_t kStallPauseMilliseconds = 100;
  // As it stops, how long it waits for a job's write in progress: as long as
  // Windows waits for a service to stop.
  static constexpr uint64_t kStopWaitMilliseconds = 20000;

  Spooler(OsProfile profile, Registry& registry, FileSystem& files, Scheduler& scheduler);
  ~Spooler();
  Spooler(const Spooler&) = delete;
  Spooler& operator=(const Spooler&) = delete;

  // Starts the spooler in its process and waits until its monitors are loaded.
  void start(Process& process);
  // Ends every job (waiting and printing ones are cancelled, printing ones
  // after their write in progress, ones in error get their EndDocPort) and
  // closes the ports it opened; no job is accepted any more. A write still in
  // progress after kStopWaitMilliseconds gets whenStuck called, which must end
  // it. The machine does this first at shutdown, so that no job keeps its
  // threads running.
  void endJobs(const std::function<void()>& whenStuck = {});
  // Ends the jobs, then lets every monitor's library go; programs reach the
  // spooler no more. The machine stops it before the programs end at shutdown.
  void stop();
  // From the end of its start until it is stopped or its process ends.
  bool running() const;
  // Its process; null before it starts.
  Process* process() const { return process_; }

  // EnumPorts levels 1 and 2: every monitor's ports merged into the caller's
  // buffer, as a program's call is answered. Callers check the level and pointers.
  SpoolerAnswer enumPorts(DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned);
  // DeletePort: handed to the monitor that listed the port, unless a printer
  // prints to it (ERROR_BUSY).
  SpoolerAnswer deletePort(HWND window, const std::string& port);

  // AddMonitor level 2: the DLL must be in the system folder; the monitor's
  // key is written and the monitor loaded at once. One whose
  // InitializeMonitorEx fails leaves no key behind and the call fails with its error.
  SpoolerAnswer addMonitor(const std::string& name, const std::string& dll);
  // DeleteMonitor: ERROR_UNKNOWN_PRINT_MONITOR for a name not registered,
  // ERROR_PRINT_MONITOR_IN_USE while a printer prints to one of its ports;
  // otherwise its library is let go and its key deleted.
  SpoolerAnswer deleteMonitor(const std::string& name);

  // A printer on a port some monitor lists now, kept in the registry too. Fails
  // with ERROR_INVALID_PRINTER_NAME for an empty name or one with '\\' or ',',
  // ERROR_PRINTER_ALREADY_EXISTS for a name taken (ignoring case),
  // ERROR_UNKNOWN_PORT for a port no monitor lists.
  SpoolerAnswer addPrinter(const std::string& name, const std::string& port, PrinterTimeouts timeouts = {});
  // The printer of that name, ignoring case; null for none.
  std::shared_ptr<PrinterQueue> printer(const std::string& name);
  // Every printer, oldest first.
  std::vector<std::shared_ptr<PrinterQueue>> printers();
  // EnumPrinters level 5 of the local printers, oldest first: the records at
  // the start of the buffer, their strings packed at its end. needed and
  // returned are written on every path; the caller checks the rest.
  SpoolerAnswer enumPrinters(LPBYTE buffer, DWORD size, DWORD* needed, DWORD* returned);
  // DeletePrinter: the printer's key goes at once; the printer itself at once,
  // or once its last job ends when a job still uses it (pending deletion).
  // ERROR_PRINTER_DELETED when it is gone already.
  SpoolerAnswer deletePrinter(const std::shared_ptr<PrinterQueue>& printer);

  // Sends a document to a printer; null for a printer that does not exist or a
  // spooler that does not run. The observer hears of every event as it happens.
  std::shared_ptr<PrintJob> submitJob(const std::string& printer, const std::string& name,
                                      std::unique_ptr<JobDocument> document, JobObserver observer = {});
  // Every job sent to a printer, oldest first.
  std::vector<std::shared_ptr<PrintJob>> jobs(const std::string& printer);
  // Waits, in virtual time, until the job is in error (and can be retried or
  // cancelled), done or cancelled, or the timeout has passed; returns its state
  // then. A job that waits behind one in error is a deadlock the machine reports.
  JobState waitForJob(PrintJob& job, uint64_t timeoutMilliseconds = Scheduler::kNoDeadline);
  // A job in error starts again from its first byte, with StartDocPort on the
  // document it left open, as Windows restarts a job. False in any other state.
  bool retryJob(PrintJob& job);
  // A job waiting for its port ends at once; one in error gets its EndDocPort
  // and ends before this returns; a printing one ends after the write in
  // progress. False for a job already done or cancelled.
  bool cancelJob(PrintJob& job);
  // GetPrinterDataFromPort on the port of a printer (opened for it if no job
  // opened it yet), alongside a job that may be printing on it.
  SpoolerAnswer printerDataFromPort(const std::string& printer, DWORD control,
                                    const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
                                    DWORD* returned);

  // For tests and nrvsim: every port at level 2, through the same path a program takes.
  std::vector<PortRecord> ports();
  std::vector<MonitorState> monitors() const;
  // The DLL a monitor runs from; null for an unknown or built-in one.
  UserModule* monitorModule(const std::string& name);

 private:
  // A loaded monitor is shared by whoever calls it, so that a deletion waits
  // until no call of it is in progress (its use count drops back to one).
  struct Loaded {
    std::unique_ptr<PortMonitor> monitor;
    std::vector<std::string> ports;  // as it listed them last; guarded by lock_
  };
  using LoadedRef = std::shared_ptr<Loaded>;

  struct JobEntry;
  // A port printers print to: its monitor's handle, and the job that has it.
  struct SpooledPort {
    std::string name;
    PortMonitor* monitor = nullptr;
    // Guarded by the dispatcher lock: opened at most once, by one thread at a time.
    bool opening = false;
    bool opened = false;
    HANDLE handle = nullptr;
    // Guarded by lock_.
    JobEntry* holder = nullptr;
    std::deque<JobEntry*> waiting;
    // Only the thread acting for the holder touches it.
    bool documentOpen = false;
  };
  enum class JobPhase { Waiting, Running, Stopped, Ended };
  struct JobEntry {
    std::shared_ptr<PrintJob> job;
    std::shared_ptr<PrinterQueue> printer;
    SpooledPort* port;
    JobPhase phase = JobPhase::Waiting;  // guarded by lock_
    // Set with the phase Stopped, so that whoever waits for the job sees it in
    // error only once a retry or a cancel can act on it.
    std::atomic<bool> stopped{false};
    std::atomic<bool> cancelRequested{false};
  };
  enum class Outcome { Done, Cancelled, Error };

  // Port and printer names compare as lstrcmpiA compares the ASCII letters.
  static bool sameName(const std::string& a, const std::string& b);

  void loadMonitors();
  void loadPrinters();
  // The one way a monitor is loaded, at the start and by AddMonitor.
  std::unique_ptr<PortMonitor> loadMonitor(const std::string& name, MonitorState& state);
  std::unique_ptr<PortMonitor> initializeMonitor(const std::string& name, UserModule& module,
                                                 MonitorState& state);
  void unloadMonitors();
  // Under lock_: the monitors as they are now, for calls made without the lock.
  std::vector<LoadedRef> loadedMonitors();
  void releaseMonitors(std::vector<LoadedRef>& monitors);
  void letMonitorGo(LoadedRef loaded);
  bool monitorInUse(const Loaded& loaded);
  std::u16string monitorKey(const std::string& name);
  // FreeLibrary, and the library's file is no longer in use.
  void unloadModule(UserModule& module);
  // Runs work on a new thread of the spooler's process and waits for it.
  void onSpoolerThread(const std::string& what, const std::function<void()>& work);
  std::vector<PortRecord> collectPorts(DWORD level);
  PortMonitor* monitorListing(const std::string& port, std::string* listedName);
  JobEntry* entryOf(const PrintJob& job);
  SpooledPort* spooledPort(const std::string& name);
  // Closes the handle the spooler kept open on a port no job holds, as it lets
  // go of a port it is about to delete. On a spooler thread.
  void closeIdlePort(const std::string& name);
  bool printerOnPort(const std::string& port);
  // Under lock_: a printer pending deletion goes once no job of it is left.
  void retireIfIdle(const std::shared_ptr<PrinterQueue>& printer);
  bool openSpooledPort(SpooledPort& port, DWORD* error, PrintJob* opener);

  void startJobThread(JobEntry& entry);
  void runJob(JobEntry& entry);
  Outcome printDocument(JobEntry& entry, DWORD* error);
  // False when a cancel came meanwhile.
  bool settleInError(JobEntry& entry);
  void endDocument(JobEntry& entry, JobState state);
  void pauseAfterStall(JobEntry& entry);
  void releasePort(JobEntry& entry);
  void waitForJobThreads(const std::function<void()>& whenStuck);
  uint64_t now() const;

  OsProfile profile_;
  Registry& registry_;
  FileSystem& files_;
  // The machine file each monitor library was loaded from, in use while it is loaded.
  std::mutex moduleFilesLock_;
  std::vector<std::pair<UserModule*, std::string>> moduleFiles_;  // guarded by moduleFilesLock_
  Scheduler& scheduler_;
  Process* process_ = nullptr;
  // Set once the monitors are loaded: programs reach the spooler from then on.
  std::atomic<bool> ready_{false};
  mutable std::mutex lock_;
  // Guarded by lock_; the local monitor first.
  std::vector<LoadedRef> loaded_;
  std::vector<MonitorState> states_;
  // Guarded by lock_; kept until the spooler is destroyed.
  std::vector<std::shared_ptr<PrinterQueue>> printers_;
  std::vector<std::unique_ptr<SpooledPort>> spooledPorts_;
  std::vector<std::unique_ptr<JobEntry>> jobs_;
  DWORD nextJobId_ = 1;
  bool stopping_ = false;
  // Guarded by the dispatcher lock.
  int jobThreads_ = 0;
};

}  // namespace nrv
