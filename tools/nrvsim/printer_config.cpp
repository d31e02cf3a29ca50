#include "printer_config.h"

#include "base/bugcheck.h"
#include "base/text.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

constexpr UCHAR kBulkOut = 0x01;
constexpr UCHAR kBulkIn = 0x82;
constexpr UCHAR kVendorSpecificClass = 0xFF;

nrv::UsbInterfaceDescription interfaceFor(int protocol, USHORT packetSize) {
  if (protocol == kNoPrinterInterface) {
    // Same endpoints, but nothing a printer driver may take.
    nrv::UsbInterfaceDescription vendor = nrv::printerInterface(0, 0, 2, kBulkOut, kBulkIn, packetSize);
    vendor.interfaceClass = kVendorSpecificClass;
    vendor.interfaceSubClass = 0;
    vendor.interfaceProtocol = 0;
    return vendor;
  }
  nrv::UsbInterfaceDescription printer =
      nrv::printerInterface(0, 0, static_cast<UCHAR>(protocol), kBulkOut, kBulkIn, packetSize);
  // An IEEE 1284.4 interface talks both ways too.
  if (protocol == 3)
    printer.endpoints.push_back(nrv::UsbEndpointDescription{kBulkIn, USB_ENDPOINT_TYPE_BULK, packetSize, 0});
  return printer;
}

}  // namespace

UCHAR endpointFor(Direction direction) { return direction == Direction::In ? kBulkIn : kBulkOut; }

nrv::PrinterConfig printerConfig(const PlugCommand& command, const std::string& serial) {
  nrv::PrinterConfig config;
  config.usb = nrv::printerDescription(command.speed);
  if (command.deviceId) config.deviceId = nrv::ieee1284DeviceId(*command.deviceId);
  if (command.rawDeviceId) config.deviceId.assign(command.rawDeviceId->begin(), command.rawDeviceId->end());
  if (command.noSerial) {
    config.usb.serialNumber.reset();
  } else {
    config.usb.serialNumber = nrv::toUtf16(serial);
  }
  config.usb.interfaces = {
      interfaceFor(command.protocol, static_cast<USHORT>(nrv::linkTiming(command.speed).bulkMaxPacketSize))};
  return config;
}

std::string deviceIdText(const std::vector<UCHAR>& reply) {
  return reply.size() <= 2 ? std::string() : std::string(reply.begin() + 2, reply.end());
}

void scheduleFaults(nrv::UsbDeviceModel& model, const std::vector<FaultSpec>& faults) {
  for (const FaultSpec& fault : faults) {
    UCHAR endpoint = endpointFor(fault.direction);
    switch (fault.kind) {
      case FaultSpec::Kind::Stall:
        model.stallBulkTransfer(endpoint, fault.nth);
        break;
      case FaultSpec::Kind::Fail:
        model.failBulkTransfer(endpoint, fault.nth, fault.status);
        break;
      case FaultSpec::Kind::Delay:
        model.delayBulkTransfer(endpoint, fault.nth, fault.milliseconds);
        break;
      case FaultSpec::Kind::Hold:
        model.holdBulkTransfer(endpoint, fault.nth);
        break;
    }
  }
}

std::vector<std::string> describeFaults(const std::vector<FaultSpec>& faults) {
  std::vector<std::string> described;
  for (const FaultSpec& fault : faults) {
    std::string which = describeTransfer(fault);
    switch (fault.kind) {
      case FaultSpec::Kind::Stall:
        described.push_back("stall " + which);
        break;
      case FaultSpec::Kind::Fail:
        described.push_back("fail " + which + " with " + usbdStatusName(fault.status));
        break;
      case FaultSpec::Kind::Delay:
        described.push_back(nrv::format("delay %s by %llu ms", which.c_str(),
                                        static_cast<unsigned long long>(fault.milliseconds)));
        break;
      case FaultSpec::Kind::Hold:
        described.push_back("hold " + which + " until cancelled");
        break;
    }
  }
  return described;
}

}  // namespace nrvsim
