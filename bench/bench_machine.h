// A machine for measurements: NRVUSB as the function driver of USB printers,
// NRVUSBMN registered with the spooler, and printers that keep only the sizes
// and checksums of what they receive, so that a long run measures the path
// and not a growing store of bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "usb/simulated_printer.h"
#include "winsplp.h"

namespace nrv_bench {

constexpr char kMonitorName[] = "Norvo USB Printer Port Monitor";

// A printer that takes every byte as fast as the link brings it, so the link
// alone sets the pace.
nrv::PrinterConfig linkBoundPrinter(const std::string& serial, nrv::UsbSpeed speed = nrv::UsbSpeed::Full);

// Bytes that are not all alike, so a checksum sees every one.
std::vector<uint8_t> patternBytes(size_t size);

class BenchMachine {
 public:
  BenchMachine();
  ~BenchMachine();
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  nrv::UsbDevice& plug(const std::string& serial, nrv::UsbSpeed speed = nrv::UsbSpeed::Full);
  // Opens the printer through the interface NRVUSB enabled for it, as CreateFile does.
  PFILE_OBJECT open(const nrv::UsbDevice& printer);

  // Starts the spooler (which loads NRVUSBMN) and takes the monitor's table.
  void startSpooler();
  void addQueue(const std::string& queue, const std::string& port);
  // Sends the bytes as a spooler job and waits until it is done; false when it is not.
  bool printJob(const std::string& queue, const std::vector<uint8_t>& bytes);
  // Bytes the printer received in bulk OUT transfers, from the sizes its log keeps.
  static uint64_t bytesReceived(nrv::UsbDevice& printer);

  uint64_t now() { return machine.scheduler().nowMilliseconds(); }

  nrv::Machine machine;
  MONITOR monitor{};

 private:
  std::vector<PFILE_OBJECT> files_;
};

}  // namespace nrv_bench
