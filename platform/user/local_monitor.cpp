#include "user/local_monitor.h"

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

namespace {

constexpr const char* kLocalMonitorName = "Local Port";

struct LocalPort {
  const char* name;
  const char* description98;  // Windows 2000 calls each one a local port
  DWORD type;
};

constexpr LocalPort kLocalPorts[] = {
    {"LPT1:", "Printer Port", PORT_TYPE_WRITE | PORT_TYPE_READ},
    {"COM1:", "Communications Port", PORT_TYPE_WRITE | PORT_TYPE_READ},
    {"FILE:", "Creates a file on disk", PORT_TYPE_WRITE},
};

}  // namespace

LocalMonitor::LocalMonitor(OsProfile profile) : PortMonitor(kLocalMonitorName), profile_(profile) {}

bool LocalMonitor::enumPorts(DWORD level, std::vector<PortRecord>* ports, DWORD* error) {
  UNREFERENCED_PARAMETER(error);
  ports->clear();
  for (const LocalPort& port : kLocalPorts) {
    PortRecord record{port.name, std::nullopt, std::nullopt, 0};
    if (level == 2) {
      record.monitor = kLocalMonitorName;
      record.description = profile_ == OsProfile::Windows98 ? port.description98 : kLocalMonitorName;
      record.type = port.type;
    }
    ports->push_back(record);
  }
  return true;
}

bool LocalMonitor::deletePort(HWND window, const std::string& port, DWORD* error) {
  UNREFERENCED_PARAMETER(window);
  UNREFERENCED_PARAMETER(error);
  bugCheck(
      "NOT_IMPLEMENTED",
      format("DeletePortA: the machine's local port %s cannot be deleted (its local monitor keeps its ports)",
             port.c_str()));
}

}  // namespace nrv
