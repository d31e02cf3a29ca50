// A machine where NRVUSB drives the printers plugged into its bus and
// NRVUSBMN is loaded as the spooler loads it: into a process of its own, its
// DllEntryPoint and InitializeMonitorEx called, its table then used directly.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "nrvusbmn.h"
#include "user/port_info.h"

constexpr char kMonitorName[] = "Norvo USB Printer Port Monitor";

// What one EnumPorts call answered, and the buffer it was given.
struct PortListing {
  BOOL result = FALSE;
  DWORD error = 0;
  DWORD needed = 0;
  DWORD returned = 0;
  std::vector<uint8_t> buffer;
};

class MonitorBench {
 public:
  explicit MonitorBench(nrv::OsProfile profile = nrv::OsProfile::Windows2000);
  // Lets the library go as FreeLibrary does, so that nothing it holds is left at the process end.
  ~MonitorBench();
  MonitorBench(const MonitorBench&) = delete;
  MonitorBench& operator=(const MonitorBench&) = delete;

  // A printer with this IEEE 1284 device ID (without its length prefix) and serial number.
  nrv::UsbDevice& plug(const std::string& deviceId, const std::string& serial);
  void unplug(nrv::UsbDevice& printer);
  // The port name the driver gave the printer, from its hardware key.
  std::string portNameOf(const nrv::UsbDevice& printer);

  // Loads the library into the "spooler" process and initializes it.
  void startMonitor();
  // EnumPorts into a buffer of exactly `size` bytes (null for 0), called on the test's thread in the spooler.
  PortListing enumPorts(DWORD level, DWORD size);
  // EnumPorts at level 2 with a buffer as large as it asks for, asked again while the list grows.
  std::vector<nrv::PortRecord> ports();

  nrv::Machine machine;
  nrv::Process& spooler;
  nrv::UserModule* module = nullptr;
  MONITOR table{};
};

class MonitorMachine : public ::testing::Test, public MonitorBench {
 protected:
  explicit MonitorMachine(nrv::OsProfile profile = nrv::OsProfile::Windows2000) : MonitorBench(profile) {}
};
