#include "usb/simulated_printer.h"

namespace nrv {

namespace {
constexpr UCHAR kPrinterClass = 7;
constexpr UCHAR kPrinterSubClass = 1;
}  // namespace

UsbInterfaceDescription printerInterface(UCHAR number, UCHAR alternateSetting, UCHAR protocol,
                                         UCHAR outAddress, UCHAR inAddress, USHORT maxPacketSize) {
  UsbInterfaceDescription interface;
  interface.number = number;
  interface.alternateSetting = alternateSetting;
  interface.interfaceClass = kPrinterClass;
  interface.interfaceSubClass = kPrinterSubClass;
  interface.interfaceProtocol = protocol;
  interface.endpoints.push_back(UsbEndpointDescription{outAddress, USB_ENDPOINT_TYPE_BULK, maxPacketSize, 0});
  if (protocol >= 2)
    interface.endpoints.push_back(
        UsbEndpointDescription{inAddress, USB_ENDPOINT_TYPE_BULK, maxPacketSize, 0});
  return interface;
}

UsbDeviceDescription printerDescription(UsbSpeed speed) {
  UsbDeviceDescription description;
  description.speed = speed;
  if (speed == UsbSpeed::High) description.usbVersion = 0x0200;
  description.vendorId = 0x0A5F;
  description.productId = 0x0027;
  description.deviceVersion = 0x0100;
  description.manufacturer = u"NRV";
  description.product = u"NRV USB Printer 1";
  description.serialNumber = u"NRV0001";
  description.interfaces.push_back(
      printerInterface(0, 0, 2, 0x01, 0x82, static_cast<USHORT>(linkTiming(speed).bulkMaxPacketSize)));
  return description;
}

std::vector<UCHAR> ieee1284DeviceId(std::string_view text) {
  size_t length = text.size() + 2;
  std::vector<UCHAR> reply(length);
  reply[0] = static_cast<UCHAR>((length >> 8) & 0xFF);
  reply[1] = static_cast<UCHAR>(length & 0xFF);
  for (size_t index = 0; index < text.size(); index++) reply[index + 2] = static_cast<UCHAR>(text[index]);
  return reply;
}

bool printsWith(UCHAR portStatus) {
  return (portStatus & kPortStatusSelected) != 0 && (portStatus & kPortStatusNoError) != 0 &&
         (portStatus & kPortStatusPaperEmpty) == 0;
}

SimulatedPrinter::SimulatedPrinter(PrinterConfig config)
    : UsbDeviceModel(std::move(config.usb)),
      deviceId_(std::move(config.deviceId)),
      portStatus_(config.portStatus) {
  setInputBuffer(config.bufferSize, config.printBytesPerMillisecond);
  setDraining(printsWith(portStatus_));
}

void SimulatedPrinter::setDeviceId(std::vector<UCHAR> reply) {
  std::lock_guard<std::mutex> guard(lock_);
  deviceId_ = std::move(reply);
}

void SimulatedPrinter::setPortStatus(UCHAR status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    portStatus_ = status;
    setDraining(printsWith(status));
  }
  notifyChange();
}

UCHAR SimulatedPrinter::portStatus() const {
  std::lock_guard<std::mutex> guard(lock_);
  return portStatus_;
}

unsigned SimulatedPrinter::softResets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return softResets_;
}

void SimulatedPrinter::refuseStatusRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  refusesStatus_ = true;
}

void SimulatedPrinter::observeStatusPolls(std::function<void(UCHAR status)> observer) {
  std::lock_guard<std::mutex> guard(lock_);
  statusPollObserver_ = std::move(observer);
}

UsbControlReply SimulatedPrinter::answerClassOrVendor(const UsbControlRequest& request) {
  if (request.type() != kUsbTypeClass) return UsbDeviceModel::answerClassOrVendor(request);
  bool statusPoll = request.request == kPrinterGetPortStatus && request.in() &&
                    request.recipient() == kUsbRecipientInterface;
  if (statusPoll) {
    std::unique_lock<std::mutex> held(lock_);
    if (refusesStatus_) return stall();
    UCHAR status = portStatus_;
    std::function<void(UCHAR)> observer = statusPollObserver_;
    held.unlock();
    if (observer) observer(status);
    return UsbControlReply{USBD_STATUS_SUCCESS, {status}};
  }
  std::lock_guard<std::mutex> guard(lock_);
  bool toInterface = request.recipient() == kUsbRecipientInterface;
  switch (request.request) {
    case kPrinterGetDeviceId:
      if (request.in() && toInterface) return UsbControlReply{USBD_STATUS_SUCCESS, deviceId_};
      break;
    case kPrinterSoftReset:
      // Hosts address this one to the interface or, mistakenly but commonly, to "other".
      if (!request.in() && (toInterface || request.recipient() == kUsbRecipientOther)) {
        softResets_++;
        return UsbControlReply{};
      }
      break;
    default:
      break;
  }
  return stall();
}

}  // namespace nrv
