// printer_start: a printer's answers at its start. The input describes the
// device (its device descriptor's fields, configuration descriptor, string
// descriptors and languages) and the raw GET_DEVICE_ID reply, length bytes
// included. The printer is plugged into a machine where NRVUSB is the
// function driver, so Plug and Play adds and starts it, enumerates its child
// and asks the child's IDs and texts; then the cable is pulled (or the
// printer is removed safely) and the machine shuts down under the verifier.
// A broken rule or anything left behind stops the machine: a finding.
//
// Records: 'D' device descriptor (18 bytes as sent), 'C' configuration
// descriptor, 'M' 'P' 'S' manufacturer, product and serial strings (UTF-16LE;
// no 'S': no serial number), 'L' languages (16-bit words), 'I' GET_DEVICE_ID
// reply, 'O' options (bit 0 high speed, bit 1 safe removal, bit 2 Windows 98,
// bit 3 plugged a second time, bit 4 no GET_PORT_STATUS).
#include "fuzz_records.h"
#include "machine/machine.h"
#include "nrvusb.h"
#include "usb/simulated_printer.h"

namespace {

std::u16string utf16(const std::vector<uint8_t>& bytes) {
  std::u16string text;
  for (size_t at = 0; at + 1 < bytes.size(); at += 2)
    text.push_back(static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8));
  return text;
}

// The device descriptor's fields a device chooses; bLength and the type are the bus's.
void takeDeviceDescriptor(const FuzzRecord& record, nrv::UsbDeviceDescription& usb) {
  usb.usbVersion = record.word(2, usb.usbVersion);
  usb.deviceClass = record.byte(4, usb.deviceClass);
  usb.deviceSubClass = record.byte(5, usb.deviceSubClass);
  usb.deviceProtocol = record.byte(6, usb.deviceProtocol);
  usb.maxPacketSize0 = record.byte(7, usb.maxPacketSize0);
  usb.vendorId = record.word(8, usb.vendorId);
  usb.productId = record.word(10, usb.productId);
  usb.deviceVersion = record.word(12, usb.deviceVersion);
}

struct PrinterInput {
  nrv::PrinterConfig config;
  nrv::OsProfile profile = nrv::OsProfile::Windows2000;
  bool safely = false;
  bool plugTwice = false;
  bool refusesStatus = false;
};

PrinterInput decode(const std::vector<FuzzRecord>& records) {
  PrinterInput input;
  uint8_t options = 0;
  for (const FuzzRecord& record : records) {
    if (record.tag == 'O') options = record.byte(0);
  }
  nrv::UsbSpeed speed = (options & 1) ? nrv::UsbSpeed::High : nrv::UsbSpeed::Full;
  input.config.usb = nrv::printerDescription(speed);
  input.config.usb.serialNumber.reset();
  input.safely = (options & 2) != 0;
  input.profile = (options & 4) ? nrv::OsProfile::Windows98 : nrv::OsProfile::Windows2000;
  input.plugTwice = (options & 8) != 0;
  input.refusesStatus = (options & 16) != 0;
  nrv::UsbDeviceDescription& usb = input.config.usb;
  for (const FuzzRecord& record : records) {
    switch (record.tag) {
      case 'D':
        takeDeviceDescriptor(record, usb);
        break;
      case 'C':
        usb.configurationOverride = record.bytes;
        break;
      case 'M':
        usb.manufacturer = utf16(record.bytes);
        break;
      case 'P':
        usb.product = utf16(record.bytes);
        break;
      case 'S':
        usb.serialNumber = utf16(record.bytes);
        break;
      case 'L': {
        usb.languages.clear();
        std::u16string words = utf16(record.bytes);
        usb.languages.assign(words.begin(), words.end());
        break;
      }
      case 'I':
        input.config.deviceId = record.bytes;
        break;
      default:
        break;
    }
  }
  // A simulated device at high speed is a USB 2.0 device; the model refuses to be built otherwise.
  if (speed == nrv::UsbSpeed::High && usb.usbVersion < 0x0200) usb.usbVersion = 0x0200;
  return input;
}

void pullOut(nrv::Machine& machine, nrv::UsbDevice& usb, bool safely) {
  if (safely && machine.usb().removeSafely(usb) == STATUS_SUCCESS) return;
  machine.usb().unplug(usb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PrinterInput input = decode(readRecords(data, size));
  nrv::Machine machine(nrv::MachineOptions{input.profile});
  nrv::DriverLoadResult loaded = machine.modules().startDriver(DriverEntry, "NRVUSB");
  if (loaded.driver == nullptr) fuzzFinding("DriverEntry failed: " + loaded.failure);
  machine.pnp().setFunctionDriver(&loaded.driver->object);
  for (int round = 0; round < (input.plugTwice ? 2 : 1); round++) {
    auto printer = std::make_unique<nrv::SimulatedPrinter>(input.config);
    if (input.refusesStatus) printer->refuseStatusRequests();
    nrv::UsbDevice& usb = machine.usb().plug(std::move(printer));
    pullOut(machine, usb, input.safely);
  }
  return 0;
}
