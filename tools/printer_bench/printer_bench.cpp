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

nrv::UsbDevice& PrinterBench::plug(nrv::PrinterConfig config) { return machine.usb().plugPrinter(std::move(config)); }

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
  PLMUSB_AddToDeviceList(printer.fdo, portName);
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
  PDeviceExtension extension = printer.extension();
  ULONG size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  URB urb = {};
  auto* descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), NRVUSB_POOL_TAG));
  if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  UsbBuildGetDescriptorRequest(&urb, (USHORT)size, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                               sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
  NTSTATUS status = PLMUSB_CallUSBD(printer.fdo, &urb);
  if (!NT_SUCCESS(status)) {
    ExFreePool(descriptor);
    return status;
  }
  extension->DeviceDescriptor = descriptor;
  status = PLMUSB_ConfigureDevice(printer.fdo);
  if (NT_SUCCESS(status)) extension->DeviceStarted = TRUE;
  return status;
}

void PrinterBench::remove(AddedPrinter& printer) {
  PDeviceExtension extension = printer.extension();
  UNICODE_STRING link;
  // Ends the running transfers and waits for every request to leave the driver.
  PLMUSB_CancelPendingIo(printer.fdo);
  PLMUSB_DecrementIoCount(printer.fdo);
  KeWaitForSingleObject(&extension->IoCountZeroEvent, Executive, KernelMode, FALSE, nullptr);
  RtlInitUnicodeString(&link, extension->InterfaceLinkName);
  IoSetDeviceInterfaceState(&link, FALSE);
  for (PVOID* copy : {reinterpret_cast<PVOID*>(&extension->DeviceDescriptor),
                      reinterpret_cast<PVOID*>(&extension->ConfigurationDescriptor),
                      reinterpret_cast<PVOID*>(&extension->InterfaceInfo)}) {
    if (*copy != nullptr) ExFreePool(*copy);
    *copy = nullptr;
  }
  PLMUSB_RemoveFromDeviceList(printer.fdo);
  IoDetachDevice(extension->LowerDevice);
  IoDeleteDevice(printer.fdo);
  PDEVICE_OBJECT fdo = printer.fdo;
  added.erase(std::remove_if(added.begin(), added.end(), [fdo](const AddedPrinter& entry) { return entry.fdo == fdo; }),
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
