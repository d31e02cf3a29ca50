// What `show` tells of a printer: its device node and child, the values the
// driver keeps in its device key, and the configuration the bus handed out.
#pragma once

#include <optional>
#include <string>

#include "events.h"
#include "machine/machine.h"
#include "scenario.h"
#include "session.h"
#include "usb/simulated_printer.h"

namespace nrvsim {

// A printer just plugged in: what it is and what AddDevice and start made of it.
PrinterPlugged describePlug(nrv::Machine& machine, const nrv::UsbDevice& usb, const PlugCommand& command,
                            const nrv::PrinterConfig& config);
PrinterShown describePrinter(nrv::Machine& machine, const NamedPrinter& printer);

// The printer's enabled device interface, by which its handles are opened.
std::optional<std::u16string> printerInterfaceLink(nrv::Machine& machine, const nrv::UsbDevice& usb);

// A text value of the printer's device key.
std::optional<std::string> deviceKeyText(nrv::Machine& machine, const nrv::UsbDevice& usb,
                                         const char16_t* name);

}  // namespace nrvsim
