// A port monitor as the spooler holds it: the ports it lists and the ports it
// deletes. The spooler calls it on its own threads.
#pragma once

#include <windows.h>

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

 private:
  std::string name_;
};

}  // namespace nrv
