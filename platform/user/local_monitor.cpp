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

namespace {

[[noreturn]] void portNotSimulated(const char* entry) {
  bugCheck("NOT_IMPLEMENTED",
           format("%s: the machine's local ports have nothing attached; print to a monitor's port", entry));
}

}  // namespace

bool LocalMonitor::openPort(const std::string& port, HANDLE*, DWORD*) {
  portNotSimulated(format("OpenPort of %s", port.c_str()).c_str());
}
bool LocalMonitor::startDocPort(HANDLE, const std::string&, DWORD, const std::string&, DWORD*) {
  portNotSimulated("StartDocPort");
}
bool LocalMonitor::writePort(HANDLE, const uint8_t*, DWORD, DWORD*, DWORD*) { portNotSimulated("WritePort"); }
bool LocalMonitor::endDocPort(HANDLE, DWORD*) { portNotSimulated("EndDocPort"); }
bool LocalMonitor::closePort(HANDLE, DWORD*) { portNotSimulated("ClosePort"); }
bool LocalMonitor::getPrinterDataFromPort(HANDLE, DWORD, const std::vector<uint8_t>&, std::vector<uint8_t>*,
                                          DWORD*, DWORD*) {
  portNotSimulated("GetPrinterDataFromPort");
}

}  // namespace nrv
