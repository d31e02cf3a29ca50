// A port monitor as the spooler holds it: the ports it lists and deletes, and
// the entries a job goes through. The spooler calls it on its own threads;
// every entry that fails hands back the error it left.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "user/port_info.h"

namespace nrv {

class PortMonitor {
 public:
  explicit PortMonitor(std::string name) : name_(std::move(name)) {}
  virtual ~PortMonitor() = default;
  PortMonitor(const PortMonitor&) = delete;
  PortMonitor& operator=(const PortMonitor&) = delete;

  // The name it is registered under.
  const std::string& name() const { return name_; }

  // Its ports at level 1 or 2; false, with its error, when it fails.
  virtual bool enumPorts(DWORD level, std::vector<PortRecord>* ports, DWORD* error) = 0;
  // Deletes one of its ports; false, with the error, when it does not.
  virtual bool deletePort(HWND window, const std::string& port, DWORD* error) = 0;

  // A port handle is the monitor's own; the spooler keeps it until it stops.
  virtual bool openPort(const std::string& port, HANDLE* handle, DWORD* error) = 0;
  virtual bool startDocPort(HANDLE port, const std::string& printer, DWORD jobId, const std::string& document,
                            DWORD* error) = 0;
  virtual bool writePort(HANDLE port, const uint8_t* data, DWORD size, DWORD* written, DWORD* error) = 0;
  virtual bool endDocPort(HANDLE port, DWORD* error) = 0;
  virtual bool closePort(HANDLE port, DWORD* error) = 0;
  virtual bool getPrinterDataFromPort(HANDLE port, DWORD control, const std::vector<uint8_t>& input,
                                      std::vector<uint8_t>* output, DWORD* returned, DWORD* error) = 0;

 private:
  std::string name_;
};

}  // namespace nrv
