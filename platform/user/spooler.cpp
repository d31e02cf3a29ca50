#include "user/spooler.h"

#include <algorithm>
#include <cctype>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/registry.h"
#include "user/file_system.h"
#include "user/local_monitor.h"
#include "user/module_monitor.h"
#include "user/printer_queue_registry.h"
#include "user/process.h"

namespace nrv {

bool Spooler::sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

Spooler::Spooler(OsProfile profile, Registry& registry, FileSystem& files, Scheduler& scheduler)
    : profile_(profile), registry_(registry), files_(files), scheduler_(scheduler) {
  // The spooler's keys come with the system, before any monitor is installed.
  registry_.createKey(u"\\Registry\\Machine\\" + toUtf16(kMonitorsKey));
  registry_.createKey(u"\\Registry\\Machine\\" + toUtf16(kPortsKey));
  registry_.createKey(u"\\Registry\\Machine\\" + toUtf16(kPrintersKey));
}

Spooler::~Spooler() = default;

void Spooler::start(Process& process) {
  if (process_ != nullptr) bugCheck("INVALID_PARAMETER", "the spooler was started twice");
  process_ = &process;
  onSpoolerThread("start", [this] {
    loadMonitors();
    loadPrinters();
  });
  ready_.store(true);
}

bool Spooler::running() const { return ready_.load() && !process_->ended(); }

void Spooler::onSpoolerThread(const std::string& what, const std::function<void()>& work) {
  bool done = false;
  process_->startThread(what, [this, &work, &done] {
    work();
    std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
    done = true;
    scheduler_.stateChanged();
  });
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.block(
      held, [&done] { return done; }, Scheduler::kNoDeadline,
      [what] { return "the spooler's answer to " + what; });
}

void Spooler::loadMonitors() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    loaded_.push_back(std::make_shared<Loaded>(Loaded{std::make_unique<LocalMonitor>(profile_), {}}));
    states_.push_back(MonitorState{loaded_.back()->monitor->name(), "", "", NO_ERROR});
  }
  std::u16string monitorsKey = u"\\Registry\\Machine\\" + toUtf16(kMonitorsKey);
  for (const std::u16string& name : registry_.subkeys(monitorsKey)) {
    MonitorState state{process_->services().locale.toAnsi(name), "", "", NO_ERROR};
    std::unique_ptr<PortMonitor> monitor = loadMonitor(state.name, state);
    std::lock_guard<std::mutex> guard(lock_);
    if (monitor != nullptr) loaded_.push_back(std::make_shared<Loaded>(Loaded{std::move(monitor), {}}));
    states_.push_back(std::move(state));
  }
  // Like the spooler of Windows, it learns every monitor's ports as it starts.
  collectPorts(1);
}

std::u16string Spooler::monitorKey(const std::string& name) {
  return u"\\Registry\\Machine\\" + toUtf16(kMonitorsKey) + u"\\" +
         process_->services().locale.fromAnsi(name);
}

std::unique_ptr<PortMonitor> Spooler::loadMonitor(const std::string& name, MonitorState& state) {
  std::optional<std::u16string> driver = registry_.stringValue(monitorKey(name), u"Driver");
  if (!driver || driver->empty()) {
    state.failure = "its key has no Driver value";
    state.error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  state.driver = process_->services().locale.toAnsi(*driver);
  std::string file = files_.systemDirectory() + "\\" + state.driver;
  if (!files_.isFile(file)) {
    state.failure = state.driver + " is not in the system folder";
    state.error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  std::optional<std::string> path = files_.hostModule(file);
  if (!path) {
    state.failure = file + " is no module this machine can load";
    return nullptr;
  }
  // Two monitors in one DLL share it, as a library loaded twice is loaded once.
  UserModule* module = nullptr;
  for (const LoadedRef& loaded : loadedMonitors()) {
    auto* earlier = dynamic_cast<ModuleMonitor*>(loaded->monitor.get());
    if (earlier != nullptr && earlier->module().path == *path) module = &earlier->module();
  }
  bool loadedHere = module == nullptr;
  std::string failure;
  if (loadedHere) module = process_->loadModule(*path, &failure);
  if (module == nullptr) {
    state.failure = "it cannot be loaded: " + failure;
    state.error = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  // A loaded library's file cannot be deleted until the library is let go.
  if (loadedHere) {
    files_.markInUse(file, 1);
    std::lock_guard<std::mutex> guard(moduleFilesLock_);
    moduleFiles_.emplace_back(module, file);
  }
  std::unique_ptr<PortMonitor> monitor = initializeMonitor(name, *module, state);
  // A library that serves no monitor is let go at once.
  if (monitor == nullptr && loadedHere) unloadModule(*module);
  return monitor;
}

std::unique_ptr<PortMonitor> Spooler::initializeMonitor(const std::string& name, UserModule& module,
                                                        MonitorState& state) {
  auto initialize =
      reinterpret_cast<decltype(&InitializeMonitorEx)>(process_->exportOf(module, "InitializeMonitorEx"));
  if (initialize == nullptr) {
    state.failure = "it exports no InitializeMonitorEx";
    state.error = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  MONITOR table{};
  std::string registryRoot = std::string(kMonitorsKey) + "\\" + name;
  ThreadRecord& thread = currentThread("InitializeMonitorEx");
  thread.lastError = NO_ERROR;
  if (!initialize(registryRoot.data(), &table)) {
    state.failure = format("its InitializeMonitorEx failed (error %u)", thread.lastError);
    state.error = thread.lastError != NO_ERROR ? thread.lastError : static_cast<DWORD>(ERROR_GEN_FAILURE);
    return nullptr;
  }
  return std::make_unique<ModuleMonitor>(name, module, table);
}

void Spooler::stop() {
  if (!running()) return;
  endJobs();
  ready_.store(false);
  onSpoolerThread("stop", [this] { unloadMonitors(); });
}

// Every monitor's library is let go once, as FreeLibrary does, so that what a
// monitor still holds then is reported as its leak when the process ends.
void Spooler::unloadMonitors() {
  std::vector<UserModule*> modules;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const LoadedRef& loaded : loaded_) {
      auto* fromModule = dynamic_cast<ModuleMonitor*>(loaded->monitor.get());
      if (fromModule != nullptr &&
          std::find(modules.begin(), modules.end(), &fromModule->module()) == modules.end())
        modules.push_back(&fromModule->module());
    }
    std::erase_if(loaded_, [](const LoadedRef& loaded) {
      return dynamic_cast<ModuleMonitor*>(loaded->monitor.get()) != nullptr;
    });
  }
  for (UserModule* module : modules) unloadModule(*module);
}

void Spooler::unloadModule(UserModule& module) {
  process_->unloadModule(module);
  std::lock_guard<std::mutex> guard(moduleFilesLock_);
  auto loaded = std::find_if(moduleFiles_.begin(), moduleFiles_.end(),
                             [&](const auto& entry) { return entry.first == &module; });
  if (loaded == moduleFiles_.end()) return;
  files_.markInUse(loaded->second, -1);
  moduleFiles_.erase(loaded);
}

std::vector<Spooler::LoadedRef> Spooler::loadedMonitors() {
  std::lock_guard<std::mutex> guard(lock_);
  return loaded_;
}

// A deletion may be waiting for the last call of its monitor to end.
void Spooler::releaseMonitors(std::vector<LoadedRef>& monitors) {
  monitors.clear();
  std::lock_guard<std::mutex> guard(scheduler_.dispatcherLock());
  scheduler_.stateChanged();
}

// On a spooler thread. A monitor that fails lists nothing this time and keeps
// the ports it listed before for their deletion.
std::vector<PortRecord> Spooler::collectPorts(DWORD level) {
  std::vector<PortRecord> all;
  std::vector<LoadedRef> monitors = loadedMonitors();
  for (const LoadedRef& loaded : monitors) {
    std::vector<PortRecord> ports;
    DWORD error = NO_ERROR;
    if (!loaded->monitor->enumPorts(level, &ports, &error)) continue;
    std::vector<std::string> names;
    for (const PortRecord& port : ports) names.push_back(port.name);
    {
      std::lock_guard<std::mutex> guard(lock_);
      loaded->ports = std::move(names);
    }
    all.insert(all.end(), ports.begin(), ports.end());
  }
  releaseMonitors(monitors);
  return all;
}

SpoolerAnswer Spooler::enumPorts(DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("EnumPorts", [&] {
    std::vector<PortRecord> ports = collectPorts(level);
    *needed = portInfoSize(level, ports);
    if (*needed > size) {
      *returned = 0;
      answer = SpoolerAnswer{FALSE, ERROR_INSUFFICIENT_BUFFER};
      return;
    }
    writePortInfo(level, ports, buffer, size);
    *returned = static_cast<DWORD>(ports.size());
    answer = SpoolerAnswer{TRUE, NO_ERROR};
  });
  return answer;
}

SpoolerAnswer Spooler::deletePort(HWND window, const std::string& port) {
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("DeletePort", [&] {
    std::vector<LoadedRef> owners;
    bool printedTo = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      printedTo = printerOnPort(port);
      for (const LoadedRef& loaded : loaded_) {
        auto listed = std::find_if(loaded->ports.begin(), loaded->ports.end(),
                                   [&](const std::string& name) { return sameName(name, port); });
        if (listed != loaded->ports.end()) {
          owners.push_back(loaded);
          break;
        }
      }
    }
    Loaded* owner = owners.empty() ? nullptr : owners.front().get();
    if (owner == nullptr) {
      answer = SpoolerAnswer{FALSE, ERROR_UNKNOWN_PORT};
    } else if (printedTo) {
      // A port a printer prints to stays: the monitor is not even asked.
      answer = SpoolerAnswer{FALSE, ERROR_BUSY};
    } else {
      // The monitor's handle for the port names what it is about to free.
      closeIdlePort(port);
      DWORD error = NO_ERROR;
      if (owner->monitor->deletePort(window, port, &error)) {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(owner->ports, [&](const std::string& name) { return sameName(name, port); });
        answer = SpoolerAnswer{TRUE, NO_ERROR};
      } else {
        answer = SpoolerAnswer{FALSE, error};
      }
    }
    releaseMonitors(owners);
  });
  return answer;
}

void Spooler::closeIdlePort(const std::string& name) {
  HANDLE handle = nullptr;
  PortMonitor* monitor = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    SpooledPort* port = spooledPort(name);
    if (port == nullptr || port->holder != nullptr) return;
    std::lock_guard<std::mutex> dispatcher(scheduler_.dispatcherLock());
    if (!port->opened || port->monitor == nullptr) return;
    handle = port->handle;
    monitor = port->monitor;
    port->opened = false;
    port->handle = nullptr;
  }
  DWORD error = NO_ERROR;
  monitor->closePort(handle, &error);
}

std::vector<PortRecord> Spooler::ports() {
  if (!running())
    bugCheck("INVALID_PARAMETER", "the spooler's ports were asked for, but the spooler does not run");
  std::vector<uint8_t> buffer;
  for (;;) {
    DWORD needed = 0;
    DWORD returned = 0;
    SpoolerAnswer answer = enumPorts(2, buffer.empty() ? nullptr : buffer.data(),
                                     static_cast<DWORD>(buffer.size()), &needed, &returned);
    if (answer.result) {
      std::vector<PortRecord> ports;
      std::string wrong;
      readPortInfo(2, buffer.data(), static_cast<DWORD>(buffer.size()), returned, &ports, &wrong);
      return ports;
    }
    buffer.resize(needed);
  }
}

std::vector<MonitorState> Spooler::monitors() const {
  std::lock_guard<std::mutex> guard(lock_);
  return states_;
}

UserModule* Spooler::monitorModule(const std::string& name) {
  for (const LoadedRef& loaded : loadedMonitors()) {
    auto* module = dynamic_cast<ModuleMonitor*>(loaded->monitor.get());
    if (module != nullptr && module->name() == name) return &module->module();
  }
  return nullptr;
}

}  // namespace nrv
