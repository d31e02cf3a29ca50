#include "printer_bench.h"

#include <algorithm>

PrinterBench::PrinterBench(nrv::OsProfile profile) : machine(nrv::MachineOptions{profile}) {
  nrv::DriverLoadResult loaded = machine.modules().startDriver(DriverEntry, "NRVUSB");
  driver = loaded.driver;
}

PrinterBench::~PrinterBench() {
  machine.io().closeAll();
  while (!added.empty()) remove(added.back());
}

nrv::UsbDevice& PrinterBench::plug(nrv::PrinterConfig config) {
  return machine.usb().plugPrinter(std::move(config));
}

AddedPrinter PrinterBench::add(nrv::UsbDevice& usb) {
  AddedPrinter printer;
  printer.usb = &usb;
  CHAR portName[PORT_NAME_BUFFER_SIZE] = {};
  {
    nrv::DriverCallScope scope(&driver->object);
    printer.status = PLMUSB_CreateDeviceObject(&driver->object, usb.pdo(), &printer.fdo, portName);
  }
  printer.portName = portName;
  if (!NT_SUCCESS(printer.status)) return printer;
  PDeviceExtension extension = printer.extension();
  extension->PhysicalDevice = usb.pdo();
  extension->DriverObject = &driver->object;
  extension->LowerDevice = IoAttachDeviceToDeviceStack(printer.fdo, usb.pdo());
  printer.fdo->Flags |= DO_DIRECT_IO;
  printer.fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  PLMUSB_IncrementIoCount(printer.fdo);
  added.push_back(printer);
  return printer;
}

NTSTATUS PrinterBench::start(AddedPrinter& printer) {
  nrv::DriverCallScope scope(&driver->object);
  return PLMUSB_StartDevice(printer.fdo);
}

// Removes the FDO as the driver's remove does, without asking the bus device
// (tests may have taken over its answers): every request leaves, then the
// driver's own routine frees what the FDO holds.
void PrinterBench::remove(AddedPrinter& printer) {
  PDEVICE_OBJECT fdo = printer.fdo;
  PDeviceExtension extension = printer.extension();
  nrv::DriverCallScope scope(&driver->object);
  PLMUSB_CancelPendingIo(fdo);
  PLMUSB_DecrementIoCount(fdo);
  KeWaitForSingleObject(&extension->IoCountZeroEvent, Executive, KernelMode, FALSE, nullptr);
  PLMUSB_RemoveDevice(fdo);
  IoDetachDevice(extension->LowerDevice);
  IoDeleteDevice(fdo);
  added.erase(std::remove_if(added.begin(), added.end(),
                             [fdo](const AddedPrinter& entry) { return entry.fdo == fdo; }),
              added.end());
}

std::u16string PrinterBench::deviceKey(const nrv::UsbDevice& usb) {
  return nrv::Registry::deviceKeyPath(machine.profile(), usb.instancePath());
}

std::u16string PrinterBench::driverKey(const nrv::UsbDevice& usb) {
  return machine.registry().driverKeyPath(machine.profile(), usb.instancePath());
}

std::string PrinterBench::stringValue(const std::u16string& key, const std::u16string& name) {
  std::optional<std::u16string> text = machine.registry().stringValue(key, name);
  return text ? nrv::toUtf8(*text) : "<missing>";
}

nrv::PrinterConfig printerWith(std::vector<nrv::UsbInterfaceDescription> interfaces) {
  nrv::PrinterConfig config;
  config.usb.interfaces = std::move(interfaces);
  return config;
}
