// Simulated printers as a scenario's plug command describes them.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"
#include "usb/simulated_printer.h"

namespace nrvsim {

// The printer model: its device ID, serial number (serial, unless the command
// says none) and interface.
nrv::PrinterConfig printerConfig(const PlugCommand& command, const std::string& serial);
// The text of a GET_DEVICE_ID reply, after its length prefix.
std::string deviceIdText(const std::vector<UCHAR>& reply);
// The printer's bulk endpoint in that direction.
UCHAR endpointFor(Direction direction);

void scheduleFaults(nrv::UsbDeviceModel& model, const std::vector<FaultSpec>& faults);
std::vector<std::string> describeFaults(const std::vector<FaultSpec>& faults);

}  // namespace nrvsim
