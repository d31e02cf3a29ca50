#include "user/module_monitor.h"

#include <cstring>

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"

namespace nrv {

namespace {

// Bytes after the size given to a monitor, which it must leave as they are.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;
// A list that grows between every size query and the call that follows it
// this many times running is given up for this enumeration.
constexpr int kAttempts = 8;

// Calls one of the monitor's entries with the thread's last error cleared, and hands back what it left there.
template <typename Call>
BOOL callEntry(DWORD* error, Call call) {
  ThreadRecord& thread = currentThread("a port monitor's entry");
  thread.lastError = NO_ERROR;
  BOOL result = call();
  *error = thread.lastError;
  return result;
}

}  // namespace

ModuleMonitor::ModuleMonitor(std::string name, UserModule& module, const MONITOR& table)
    : PortMonitor(std::move(name)), module_(module), table_(table) {}

bool ModuleMonitor::enumPorts(DWORD level, std::vector<PortRecord>* ports, DWORD* error) {
  ports->clear();
  // A monitor without the entry lists no ports.
  if (table_.pfnEnumPorts == nullptr) return true;
  DWORD size = 0;
  for (int attempt = 0; attempt < kAttempts; attempt++) {
    std::vector<uint8_t> buffer(size + kGuardBytes, kGuardByte);
    DWORD needed = 0;
    DWORD returned = 0;
    BOOL listed = callEntry(error, [&] {
      return table_.pfnEnumPorts(nullptr, level, size == 0 ? nullptr : buffer.data(), size, &needed,
                                 &returned);
    });
    for (size_t at = size; at < buffer.size(); at++) {
      if (buffer[at] != kGuardByte) {
        bugCheck(
            "MONITOR_BUFFER_OVERRUN",
            format("port monitor '%s' (%s): its EnumPorts wrote past the %u bytes it was given, at byte %zu",
                   name().c_str(), module_.name.c_str(), size, at));
      }
    }
    if (listed) {
      std::string wrong;
      if (!readPortInfo(level, buffer.data(), size, returned, ports, &wrong)) {
        bugCheck("MONITOR_BAD_PORT_LIST",
                 format("port monitor '%s' (%s): its EnumPorts at level %u listed ports "
                        "the spooler cannot read: %s",
                        name().c_str(), module_.name.c_str(), level, wrong.c_str()));
      }
      return true;
    }
    if (*error != ERROR_INSUFFICIENT_BUFFER) return false;
    if (needed <= size) {
      bugCheck("MONITOR_BAD_PORT_LIST",
               format("port monitor '%s' (%s): its EnumPorts found %u bytes too few and asked for %u",
                      name().c_str(), module_.name.c_str(), size, needed));
    }
    size = needed;
  }
  return false;
}

bool ModuleMonitor::deletePort(HWND window, const std::string& port, DWORD* error) {
  if (table_.pfnDeletePort == nullptr) {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  std::string name = port;
  return callEntry(error, [&] { return table_.pfnDeletePort(nullptr, window, name.data()); }) != FALSE;
}

}  // namespace nrv
