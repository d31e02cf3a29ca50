// Monitors added and deleted while the spooler runs, as AddMonitor and
// DeleteMonitor do.
#include <algorithm>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/file_system.h"
#include "user/module_monitor.h"
#include "user/process.h"
#include "user/spooler.h"

namespace nrv {

SpoolerAnswer Spooler::addMonitor(const std::string& name, const std::string& dll) {
  if (!running()) return SpoolerAnswer{FALSE, RPC_S_SERVER_UNAVAILABLE};
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("AddMonitor", [&] {
    std::u16string key = monitorKey(name);
    if (registry_.keyExists(key)) {
      answer = SpoolerAnswer{FALSE, ERROR_PRINT_MONITOR_ALREADY_INSTALLED};
      return;
    }
    // The file is looked for before anything is written.
    if (!files_.isFile(files_.systemDirectory() + "\\" + dll)) {
      answer = SpoolerAnswer{FALSE, ERROR_FILE_NOT_FOUND};
      return;
    }
    registry_.setString(key, u"Driver", process_->services().locale.fromAnsi(dll));
    MonitorState state{name, "", "", NO_ERROR};
    std::unique_ptr<PortMonitor> monitor = loadMonitor(name, state);
    if (monitor == nullptr) {
      registry_.deleteTree(key);
      answer = SpoolerAnswer{FALSE, state.error};
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      loaded_.push_back(std::make_shared<Loaded>(Loaded{std::move(monitor), {}}));
      std::erase_if(states_, [&](const MonitorState& earlier) { return sameName(earlier.name, name); });
      states_.push_back(std::move(state));
    }
    collectPorts(1);
    answer = SpoolerAnswer{TRUE, NO_ERROR};
  });
  return answer;
}

SpoolerAnswer Spooler::deleteMonitor(const std::string& name) {
  if (!running()) return SpoolerAnswer{FALSE, RPC_S_SERVER_UNAVAILABLE};
  SpoolerAnswer answer{FALSE, NO_ERROR};
  onSpoolerThread("DeleteMonitor", [&] {
    std::u16string key = monitorKey(name);
    LoadedRef found;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (const LoadedRef& loaded : loaded_) {
        if (sameName(loaded->monitor->name(), name)) found = loaded;
      }
      bool registered = registry_.keyExists(key);
      // The built-in local monitor has no key and cannot be deleted.
      if (!registered) {
        answer = SpoolerAnswer{FALSE, ERROR_UNKNOWN_PRINT_MONITOR};
        return;
      }
      if (found != nullptr) {
        if (monitorInUse(*found)) {
          answer = SpoolerAnswer{FALSE, ERROR_PRINT_MONITOR_IN_USE};
          return;
        }
        std::erase(loaded_, found);
      }
      std::erase_if(states_, [&](const MonitorState& state) { return sameName(state.name, name); });
    }
    if (found != nullptr) letMonitorGo(std::move(found));
    registry_.deleteTree(key);
    answer = SpoolerAnswer{TRUE, NO_ERROR};
  });
  return answer;
}

// Under lock_: a printer prints to a port it listed, or to one it opened.
bool Spooler::monitorInUse(const Loaded& loaded) {
  for (const auto& printer : printers_) {
    SpooledPort* port = spooledPort(printer->port());
    if (port != nullptr && port->monitor == loaded.monitor.get()) return true;
    for (const std::string& listed : loaded.ports) {
      if (sameName(listed, printer->port())) return true;
    }
  }
  return false;
}

// On a spooler thread, the monitor out of the list already: once no call of
// it is in progress, the ports it opened for printers since deleted are
// closed and its library let go, unless another monitor of the same DLL still
// uses it.
void Spooler::letMonitorGo(LoadedRef loaded) {
  {
    std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
    scheduler_.block(
        held, [&loaded] { return loaded.use_count() == 1; }, Scheduler::kNoDeadline,
        [&loaded] { return "the calls of monitor " + loaded->monitor->name() + " to end"; });
  }
  PortMonitor* monitor = loaded->monitor.get();
  std::vector<HANDLE> opened;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& port : spooledPorts_) {
      if (port->monitor != monitor) continue;
      port->monitor = nullptr;
      std::lock_guard<std::mutex> dispatcher(scheduler_.dispatcherLock());
      if (port->opened) opened.push_back(port->handle);
      port->opened = false;
      port->handle = nullptr;
    }
  }
  for (HANDLE handle : opened) {
    DWORD error = NO_ERROR;
    monitor->closePort(handle, &error);
  }
  auto* fromModule = dynamic_cast<ModuleMonitor*>(monitor);
  if (fromModule == nullptr) return;
  UserModule& module = fromModule->module();
  bool shared = false;
  for (const LoadedRef& other : loadedMonitors()) {
    auto* otherModule = dynamic_cast<ModuleMonitor*>(other->monitor.get());
    shared = shared || (otherModule != nullptr && &otherModule->module() == &module);
  }
  loaded.reset();
  if (!shared) unloadModule(module);
}

}  // namespace nrv
