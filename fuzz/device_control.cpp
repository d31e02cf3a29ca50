// device_control: control requests from a client of the driver. The input is
// a list of requests, each with its control code, input and output buffer
// lengths and input bytes, sent through the machine's I/O entry (as
// DeviceIoControl sends them) on a handle open on a plugged printer; the
// printer's status byte may change between them and its cable may be pulled
// while the handle stays open. The handle is closed, the printer unplugged
// and the machine shut down under the verifier.
//
// Records: 'O' options (bit 0 Windows 98, bit 1 a unidirectional printer,
// bit 2 no serial number), 'X' a request (code: 4 bytes, input length and
// output length: 2 bytes each, then the input bytes, zeros after them),
// 'S' the printer's status byte, 'U' the cable pulled.
#include "fuzz_records.h"
#include "machine/machine.h"
#include "nrvusb.h"
#include "usb/simulated_printer.h"

namespace {

nrv::PrinterConfig printerFor(uint8_t options) {
  nrv::PrinterConfig config;
  if (options & 2) config.usb.interfaces = {nrv::printerInterface(0, 0, 1)};
  if (options & 4) config.usb.serialNumber.reset();
  return config;
}

void sendRequest(nrv::Machine& machine, PFILE_OBJECT file, const FuzzRecord& record) {
  ULONG code = record.dword(0);
  ULONG inputLength = record.word(4);
  ULONG outputLength = record.word(6);
  std::vector<uint8_t> input(inputLength);
  for (size_t at = 8; at < record.bytes.size() && at - 8 < input.size(); at++)
    input[at - 8] = record.bytes[at];
  std::vector<uint8_t> output(outputLength, 0xCC);
  // The I/O entry and the verifier check what the driver answers (Information against the
  // output buffer, the IRP's rules); a buffer overrun is ASan's.
  machine.io().deviceControl(file, code, input.empty() ? nullptr : input.data(), inputLength,
                             output.empty() ? nullptr : output.data(), outputLength);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<FuzzRecord> records = readRecords(data, size);
  uint8_t options = 0;
  for (const FuzzRecord& record : records) {
    if (record.tag == 'O') options = record.byte(0);
  }
  nrv::Machine machine(
      nrv::MachineOptions{(options & 1) ? nrv::OsProfile::Windows98 : nrv::OsProfile::Windows2000});
  nrv::DriverLoadResult loaded = machine.modules().startDriver(DriverEntry, "NRVUSB");
  if (loaded.driver == nullptr) fuzzFinding("DriverEntry failed: " + loaded.failure);
  machine.pnp().setFunctionDriver(&loaded.driver->object);
  nrv::UsbDevice& usb = machine.usb().plugPrinter(printerFor(options));
  PDeviceExtension extension = PLMUSB_Extension(usb.pdo()->AttachedDevice);
  PFILE_OBJECT file = nullptr;
  NTSTATUS opened =
      machine.io().open(reinterpret_cast<const char16_t*>(extension->InterfaceLinkName), u"", &file);
  if (opened != STATUS_SUCCESS) fuzzFinding("the printer could not be opened: " + std::to_string(opened));
  bool pulled = false;
  for (const FuzzRecord& record : records) {
    if (record.tag == 'X') {
      sendRequest(machine, file, record);
    } else if (record.tag == 'S' && !pulled) {
      usb.printer().setPortStatus(record.byte(0));
    } else if (record.tag == 'U' && !pulled) {
      machine.usb().unplug(usb);
      pulled = true;
    }
  }
  machine.io().close(file);
  if (!pulled) machine.usb().unplug(usb);
  return 0;
}
