// What the spooler tells of ports: every port EnumPorts gives at level 2, its
// texts turned from the machine's ANSI code page into UTF-8, and for the port
// monitor's own ports whether a printer plugged in now carries the port's name.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "events.h"
#include "machine/machine.h"
#include "session.h"

namespace nrvsim {

// The name the monitor is registered under, and its file in the system folder.
constexpr char kMonitorName[] = "Norvo USB Printer Port Monitor";
constexpr char kMonitorFile[] = "NRVUSBMN.DLL";
constexpr char kDriverService[] = "NRVUSB";

// Port names compare as the monitor compares them, ignoring the case of ASCII letters.
bool samePortName(const std::string& a, const std::string& b);

// The printer plugged in and running now whose port has that name; null for none.
const NamedPrinter* printerOnPort(nrv::Machine& machine, const std::deque<NamedPrinter>& printers,
                                  const std::string& port);

std::vector<PortFacts> describePorts(nrv::Machine& machine, const std::deque<NamedPrinter>& printers);

// The monitor once the spooler has started: where it was loaded from, why it
// could not be used, or the ports it listed.
MonitorStarted describeMonitor(nrv::Machine& machine, const std::string& modulePath,
                               const std::deque<NamedPrinter>& printers);

}  // namespace nrvsim
