// A port monitor DLL the spooler loaded: the table of entries its
// InitializeMonitorEx filled. An entry the monitor left NULL is never called;
// the spooler answers for it: no EnumPorts lists no ports, no DeletePort
// refuses the deletion with ERROR_NOT_SUPPORTED, and so is every job entry a
// job cannot do without (OpenPort, StartDocPort, WritePort) and
// GetPrinterDataFromPort; no EndDocPort or ClosePort has nothing to end.
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
  bool openPort(const std::string& port, HANDLE* handle, DWORD* error) override;
  bool startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document,
                    DWORD* error) override;
  // A monitor that says it took more than it was given stops the machine.
  bool writePort(HANDLE port, const uint8_t* data, DWORD size, DWORD* written, DWORD* error) override;
  bool endDocPort(HANDLE port, DWORD* error) override;
  bool closePort(HANDLE port, DWORD* error) override;
  bool getPrinterDataFromPort(HANDLE port, DWORD control, const std::vector<uint8_t>& input,
                              std::vector<uint8_t>* output, DWORD* returned, DWORD* error) override;

  UserModule& module() { return module_; }

 private:
  UserModule& module_;
  MONITOR table_;
};

}  // namespace nrv
