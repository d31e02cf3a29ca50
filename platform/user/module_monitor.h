// A port monitor DLL the spooler loaded: the table of entries its
// InitializeMonitorEx filled. An entry the monitor left NULL is never called;
// the spooler answers for it: no EnumPorts lists no ports, no DeletePort
// refuses the deletion with ERROR_NOT_SUPPORTED.
#pragma once

#include <windows.h>
#include <winsplp.h>

#include "user/port_monitor.h"
#include "user/process.h"

namespace nrv {

class ModuleMonitor : public PortMonitor {
 public:
  ModuleMonitor(std::string name, UserModule& module, const MONITOR& table);

  // Asks the size first, then for the ports, as often as the list grows in between.
  bool enumPorts(DWORD level, std::vector<PortRecord>* ports, DWORD* error) override;
  bool deletePort(HWND window, const std::string& port, DWORD* error) override;

  UserModule& module() { return module_; }

 private:
  UserModule& module_;
  MONITOR table_;
};

}  // namespace nrv
