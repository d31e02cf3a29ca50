// The print spooler: a process named "spooler" that loads every port monitor
// registered under System\CurrentControlSet\Control\Print\Monitors (each key's
// Driver value names its DLL in the system folder), calls its DllEntryPoint
// and InitializeMonitorEx, and answers the programs' port calls on threads of
// its own by calling the monitors there. Its built-in local monitor comes
// first. The spooler remembers which monitor listed which port at its last
// enumeration, and sends a port's deletion to that monitor.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/os_profile.h"
#include "user/port_info.h"
#include "user/port_monitor.h"

namespace nrv {

class Process;
class Registry;
class Scheduler;
class SystemFolder;
struct UserModule;

// A monitor registered with the spooler, and whether it could be loaded.
struct MonitorState {
  std::string name;
  std::string driver;   // the file the registry names; empty for the built-in one
  std::string failure;  // why it is not in use; empty when it is
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

  Spooler(OsProfile profile, Registry& registry, SystemFolder& systemFolder, Scheduler& scheduler);
  ~Spooler();
  Spooler(const Spooler&) = delete;
  Spooler& operator=(const Spooler&) = delete;

  // Starts the spooler in its process and waits until its monitors are loaded.
  void start(Process& process);
  // Lets every monitor's library go; programs reach the spooler no more. The
  // machine stops it before the programs end at shutdown.
  void stop();
  // From the end of its start until it is stopped or its process ends.
  bool running() const;
  // Its process; null before it starts.
  Process* process() const { return process_; }

  // EnumPorts levels 1 and 2: every monitor's ports merged into the caller's
  // buffer, as a program's call is answered. Callers check the level and pointers.
  SpoolerAnswer enumPorts(DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned);
  // DeletePort: handed to the monitor that listed the port.
  SpoolerAnswer deletePort(HWND window, const std::string& port);

  // For tests and nrvsim: every port at level 2, through the same path a program takes.
  std::vector<PortRecord> ports();
  std::vector<MonitorState> monitors() const;
  // The DLL a monitor runs from; null for an unknown or built-in one.
  UserModule* monitorModule(const std::string& name);

 private:
  struct Loaded {
    std::unique_ptr<PortMonitor> monitor;
    std::vector<std::string> ports;  // as it listed them last; guarded by lock_
  };

  void loadMonitors();
  std::unique_ptr<PortMonitor> loadMonitor(const std::string& name, MonitorState& state);
  std::unique_ptr<PortMonitor> initializeMonitor(const std::string& name, UserModule& module, MonitorState& state);
  void unloadMonitors();
  // Runs work on a new thread of the spooler's process and waits for it.
  void onSpoolerThread(const std::string& what, const std::function<void()>& work);
  std::vector<PortRecord> collectPorts(DWORD level);

  OsProfile profile_;
  Registry& registry_;
  SystemFolder& systemFolder_;
  Scheduler& scheduler_;
  Process* process_ = nullptr;
  // Set once the monitors are loaded: programs reach the spooler from then on.
  std::atomic<bool> ready_{false};
  // Built once at the start, then only read.
  std::vector<Loaded> loaded_;
  std::vector<MonitorState> states_;
  mutable std::mutex lock_;
};

}  // namespace nrv
