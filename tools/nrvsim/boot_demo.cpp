#include "boot_demo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "kernel/irp_tracker.h"
#include "machine/status_text.h"
#include "machine/symbolizer.h"
#include "machine/text.h"
#include "print_job.h"
#include "printer_bench.h"
#include "transcript.h"

namespace nrvsim {

namespace {

std::string routineName(const void* routine) { return nrv::describeCodeAddress(routine); }

void showDispatchTable(const DRIVER_OBJECT& driver, Transcript& transcript) {
  int refused = 0;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    if (driver.MajorFunction[major] == nrv::defaultDispatch) {
      refused++;
      continue;
    }
    transcript.detail("  %-32s %s", nrv::majorFunctionName(major),
                      routineName(reinterpret_cast<const void*>(driver.MajorFunction[major])).c_str());
  }
  transcript.detail("  %-32s %s", "AddDevice",
                    routineName(reinterpret_cast<const void*>(driver.DriverExtension->AddDevice)).c_str());
  transcript.detail("  %-32s %s", "DriverUnload", routineName(reinterpret_cast<const void*>(driver.DriverUnload)).c_str());
  transcript.detail("  the other %d major functions are refused by the I/O manager", refused);
}

// Loads the driver module as the machine loads any driver, offers it the printer, and unloads it.
bool loadModule(PrinterBench& bench, const std::string& path, nrv::UsbDevice& printer, Transcript& transcript) {
  nrv::Machine& machine = bench.machine;
  transcript.step("loading NRVUSB from %s", path.c_str());
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(path, "NRVUSB");
  transcript.detail("DriverEntry returned %s", nrv::statusText(loaded.status).c_str());
  if (loaded.driver == nullptr) return false;
  transcript.detail("dispatch table:");
  showDispatchTable(loaded.driver->object, transcript);

  PDRIVER_ADD_DEVICE addDevice = loaded.driver->extension.AddDevice;
  NTSTATUS added = nrv::callDriverRoutine("AddDevice routine", reinterpret_cast<const void*>(addDevice), [&] {
    nrv::DriverCallScope scope(&loaded.driver->object);
    return addDevice(&loaded.driver->object, printer.pdo());
  });
  transcript.detail("AddDevice for the printer returned %s", nrv::statusText(added).c_str());
  if (!NT_SUCCESS(added)) {
    transcript.detail("this build of the module does not take printers yet (Plug and Play comes later); unloading it");
    machine.modules().unload(*loaded.driver);
  }
  return true;
}

const char* pipeTypeName(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl:
      return "control";
    case UsbdPipeTypeIsochronous:
      return "isochronous";
    case UsbdPipeTypeBulk:
      return "bulk";
    case UsbdPipeTypeInterrupt:
      return "interrupt";
  }
  return "?";
}

void showConfiguration(const AddedPrinter& printer, Transcript& transcript) {
  PDeviceExtension extension = printer.extension();
  PUSBD_INTERFACE_INFORMATION selected = extension->InterfaceInfo;
  transcript.detail("configuration descriptor: %u bytes", extension->ConfigurationDescriptor->wTotalLength);
  if (selected == nullptr) return;
  transcript.detail("selected interface %u, alternate setting %u: class %u/%u, protocol %u (%s)", selected->InterfaceNumber,
                    selected->AlternateSetting, selected->Class, selected->SubClass, selected->Protocol,
                    selected->Protocol == 2 ? "bidirectional" : "unidirectional");
  for (ULONG index = 0; index < selected->NumberOfPipes; index++) {
    const USBD_PIPE_INFORMATION& pipe = selected->Pipes[index];
    transcript.detail("  pipe %u: %s %s, endpoint 0x%02X, %u-byte packets, at most %u bytes per transfer", index,
                      pipeTypeName(pipe.PipeType), USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) ? "IN" : "OUT",
                      pipe.EndpointAddress, pipe.MaximumPacketSize, pipe.MaximumTransferSize);
  }
}

// Brings the printer up with the driver's routines linked into nrvsim, as
// AddDevice and start will once Plug and Play drives the driver.
bool bringUp(PrinterBench& bench, nrv::UsbDevice& usb, AddedPrinter& printer, Transcript& transcript) {
  transcript.step("bringing the printer up with the driver's own routines (linked into nrvsim)");
  printer = bench.add(usb);
  transcript.detail("PLMUSB_CreateDeviceObject returned %s", nrv::statusText(printer.status).c_str());
  if (!NT_SUCCESS(printer.status)) return false;
  PDeviceExtension extension = printer.extension();
  transcript.detail("port name %s; options: MaxTransferSize %u, AltInterface %u, DeviceType %u, PrinterClassOptions %u",
                    printer.portName.c_str(), extension->MaxTransferSize, extension->AltInterface,
                    extension->DeviceType, extension->PrinterClassOptions);
  transcript.detail("interface %s", nrv::toUtf8(reinterpret_cast<const char16_t*>(extension->InterfaceLinkName)).c_str());
  transcript.detail("device key: PortName \"%s\"", bench.stringValue(bench.deviceKey(usb), u"PortName").c_str());

  NTSTATUS started = bench.start(printer);
  transcript.step("start (device descriptor, then PLMUSB_ConfigureDevice) returned %s", nrv::statusText(started).c_str());
  if (!NT_SUCCESS(started)) return false;
  showConfiguration(printer, transcript);
  UCHAR serialIndex = usb.model().description().serialNumber ? nrv::kSerialNumberStringIndex : 0;
  PLMUSB_SetSerialRegValue(printer.fdo, serialIndex);
  std::optional<nrv::RegistryValue> found = bench.machine.registry().value(bench.deviceKey(usb), u"SerialNumberFound");
  transcript.detail("SerialNumberFound = %u", found && !found->bytes.empty() ? found->bytes[0] : 0u);
  return true;
}

// The document to print: the named file, or the built-in test page.
bool loadDocument(const std::string& path, std::vector<UCHAR>& document) {
  if (path.empty()) {
    document = testPage();
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "nrvsim: cannot read '%s': %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  document.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    std::fprintf(stderr, "nrvsim: reading '%s' failed\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int runBootDemo(const BootDemoOptions& options, FILE* out) {
  struct stat info;
  if (stat(options.driverModule.c_str(), &info) != 0) {
    std::fprintf(stderr, "nrvsim: driver module '%s' not found\n", options.driverModule.c_str());
    return 1;
  }
  std::vector<UCHAR> document;
  if (!loadDocument(options.printPath, document)) return 1;
  int result = 1;
  {
    PrinterBench bench(options.profile);
    Transcript transcript(out, bench.machine);
    transcript.step("booted %s; verifier on (pool, IRQL, IRP, handle and spin-lock rules)", bench.machine.profileName());
    nrv::UsbDevice& usb = bench.plug();
    transcript.step("USB printer plugged: %s", nrv::toUtf8(usb.instancePath()).c_str());
    if (!loadModule(bench, options.driverModule, usb, transcript)) return 1;
    AddedPrinter printer;
    if (bringUp(bench, usb, printer, transcript)) {
      std::string name = options.printPath.empty() ? "the built-in test page" : options.printPath;
      result = printDocument(bench, printer, name, document, transcript);
    }
    transcript.step("shutting down: removing the printer, unloading drivers, checking for leaks");
  }
  std::fprintf(out, "  shutdown clean: no pool, IRP, handle or device left behind\n");
  return result;
}

}  // namespace nrvsim
