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
  // Nothing is attached to its ports: a job for one of them stops the machine.
  bool openPort(const std::string& port, HANDLE* handle, DWORD* error) override;
  bool startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document,
                    DWORD* error) override;
  bool writePort(HANDLE port, const uint8_t* data, DWORD size, DWORD* written, DWORD* error) override;
  bool endDocPort(HANDLE port, DWORD* error) override;
  bool closePort(HANDLE port, DWORD* error) override;
  bool getPrinterDataFromPort(HANDLE port, DWORD control, const std::vector<uint8_t>& input,
                              std::vector<uint8_t>* output, DWORD* returned, DWORD* error) override;

 private:
  OsProfile profile_;
};

}  // namespace nrv
