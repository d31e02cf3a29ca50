// A machine whose spooler runs NRVUSBMN with a printer queue on each plugged
// printer's port, and the monitor's table in the test's hands: its entries are
// called on the test's thread in the spooler's process, as a spooler thread
// calls them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "nrvusbmn.h"
#include "usb/simulated_printer.h"

class PortIoBench {
 public:
  PortIoBench();
  PortIoBench(const PortIoBench&) = delete;
  PortIoBench& operator=(const PortIoBench&) = delete;

  // A printer with this serial number, and a queue named after its port ("Q" + port name).
  nrv::UsbDevice& plug(const std::string& serial);
  nrv::SimulatedPrinter& model(nrv::UsbDevice& printer);
  // Starts the spooler and takes the monitor's table from it.
  void start();
  void addQueue(const std::string& queue, const std::string& port, DWORD retry = 45000, DWORD notSelected = 15000);

  // Each entry called in the spooler's process; the last error is kept in `error`.
  HANDLE openPort(const std::string& name);
  BOOL startDoc(HANDLE port, const std::string& queue, DWORD jobId = 1);
  BOOL write(HANDLE port, const std::string& data, DWORD* written);
  BOOL read(HANDLE port, DWORD size, std::string* data);
  BOOL endDoc(HANDLE port);
  BOOL closePort(HANDLE port);
  BOOL deletePort(const std::string& name);
  BOOL printerData(HANDLE port, DWORD control, std::string* output, DWORD outputSize = 1024);
  // How many ports the monitor lists now (EnumPorts level 0, which scans).
  DWORD listedPorts();

  uint64_t now() { return machine.scheduler().nowMilliseconds(); }

  nrv::Machine machine;
  MONITOR table{};
  DWORD error = 0;
};

class PortIoMachine : public ::testing::Test, public PortIoBench {};
