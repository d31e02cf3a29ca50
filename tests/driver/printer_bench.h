// Printers on the machine's USB bus with the driver's routines linked in, and
// FDOs brought up the way AddDevice brings them up: created, attached, named
// and counted, for driver tests of single routines. Tests that install the
// linked driver as the function driver (machine.pnp().setFunctionDriver)
// have plugged printers brought up by the Plug and Play manager instead.
#pragma once

#include <string>
#include <vector>

#include "base/text.h"
#include "machine/machine.h"
#include "nrvusb.h"
#include "usb/simulated_printer.h"

struct AddedPrinter {
  nrv::UsbDevice* usb = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string portName;

  PDeviceExtension extension() const { return PLMUSB_Extension(fdo); }
};

// A machine with the driver started, where printers are plugged and added.
class PrinterBench {
 public:
  explicit PrinterBench(nrv::OsProfile profile = nrv::OsProfile::Windows2000);
  // Closes files and removes every FDO still there, so that the machine shuts down clean.
  ~PrinterBench();

  nrv::UsbDevice& plug(nrv::PrinterConfig config = {});
  // Creates and attaches the FDO of a plugged printer.
  AddedPrinter add(nrv::UsbDevice& usb);
  AddedPrinter plugAndAdd(nrv::PrinterConfig config = {}) { return add(plug(std::move(config))); }
  // Starts the printer with the driver's start routine: descriptors, configuration.
  NTSTATUS start(AddedPrinter& printer);
  // Frees what the FDO holds with the driver's remove routine and deletes it.
  void remove(AddedPrinter& printer);

  std::u16string deviceKey(const nrv::UsbDevice& usb);
  std::u16string driverKey(const nrv::UsbDevice& usb);
  std::string stringValue(const std::u16string& key, const std::u16string& name);

  nrv::Machine machine;
  nrv::LoadedDriver* driver = nullptr;
  std::vector<AddedPrinter> added;
};

// A printer description with these interfaces in this order.
nrv::PrinterConfig printerWith(std::vector<nrv::UsbInterfaceDescription> interfaces);
