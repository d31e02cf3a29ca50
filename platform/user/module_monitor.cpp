#include "user/module_monitor.h"

#include <algorithm>
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

bool ModuleMonitor::openPort(const std::string& port, HANDLE* handle, DWORD* error) {
  if (table_.pfnOpenPort == nullptr) {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  std::string name = port;
  *handle = nullptr;
  return callEntry(error, [&] { return table_.pfnOpenPort(name.data(), handle); }) != FALSE;
}

bool ModuleMonitor::startDocPort(HANDLE port, const std::string& printer, DWORD jobId,
                                 const std::string& document, DWORD* error) {
  if (table_.pfnStartDocPort == nullptr) {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  std::string printerName = printer;
  std::string documentName = document;
  char datatype[] = "RAW";
  DOC_INFO_1A info{documentName.data(), nullptr, datatype};
  return callEntry(error, [&] {
           return table_.pfnStartDocPort(port, printerName.data(), jobId, 1, reinterpret_cast<LPBYTE>(&info));
         }) != FALSE;
}

bool ModuleMonitor::writePort(HANDLE port, const uint8_t* data, DWORD size, DWORD* written, DWORD* error) {
  if (table_.pfnWritePort == nullptr) {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  *written = 0;
  BOOL result =
      callEntry(error, [&] { return table_.pfnWritePort(port, const_cast<LPBYTE>(data), size, written); });
  if (*written > size) {
    bugCheck("MONITOR_BAD_WRITE",
             format("port monitor '%s' (%s): its WritePort took %u bytes of the %u it was given",
                    name().c_str(), module_.name.c_str(), *written, size));
  }
  return result != FALSE;
}

bool ModuleMonitor::endDocPort(HANDLE port, DWORD* error) {
  if (table_.pfnEndDocPort == nullptr) return true;
  return callEntry(error, [&] { return table_.pfnEndDocPort(port); }) != FALSE;
}

bool ModuleMonitor::closePort(HANDLE port, DWORD* error) {
  if (table_.pfnClosePort == nullptr) return true;
  return callEntry(error, [&] { return table_.pfnClosePort(port); }) != FALSE;
}

bool ModuleMonitor::getPrinterDataFromPort(HANDLE port, DWORD control, const std::vector<uint8_t>& input,
                                           std::vector<uint8_t>* output, DWORD* returned, DWORD* error) {
  if (table_.pfnGetPrinterDataFromPort == nullptr) {
    *error = ERROR_NOT_SUPPORTED;
    return false;
  }
  std::vector<uint8_t> in = input;
  DWORD size = static_cast<DWORD>(output->size());
  std::vector<uint8_t> out(size + kGuardBytes, kGuardByte);
  std::copy(output->begin(), output->end(), out.begin());
  BOOL result = callEntry(error, [&] {
    return table_.pfnGetPrinterDataFromPort(
        port, control, nullptr, in.empty() ? nullptr : reinterpret_cast<LPSTR>(in.data()),
        static_cast<DWORD>(in.size()), size == 0 ? nullptr : reinterpret_cast<LPSTR>(out.data()), size,
        returned);
  });
  for (size_t at = size; at < out.size(); at++) {
    if (out[at] != kGuardByte) {
      bugCheck(
          "MONITOR_BUFFER_OVERRUN",
          format("port monitor '%s' (%s): its GetPrinterDataFromPort wrote past the %u bytes it was given",
                 name().c_str(), module_.name.c_str(), size));
    }
  }
  std::copy(out.begin(), out.begin() + size, output->begin());
  return result != FALSE;
}

}  // namespace nrv
