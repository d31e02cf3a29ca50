// The spooler's built-in local monitor: the parallel port, the serial port
// and printing to a file, described as each system describes them.
#pragma once

#include "base/os_profile.h"
#include "user/port_monitor.h"

namespace nrv {

class LocalMonitor : public PortMonitor {
 public:
  explicit LocalMonitor(OsProfile profile);

  bool enumPorts(DWORD level, std::vector<PortRecord>* ports, DWORD* error) override;
  // The machine has no parallel or serial ports to give up: deleting one stops it.
  bool deletePort(HWND window, const std::string& port, DWORD* error) override;

 private:
  OsProfile profile_;
};

}  // namespace nrv
