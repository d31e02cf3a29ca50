// A simulated USB printer: a device with printer-class interfaces that answers
// the three printer class requests (GET_DEVICE_ID, GET_PORT_STATUS,
// SOFT_RESET) and takes vendor requests. Everything is configurable so that
// tests can build any printer a driver may meet, down to broken replies.
// Its bulk endpoints (OUT sink, IN source) and scripted faults are those of
// every UsbDeviceModel.
#pragma once

#include <functional>
#include <string_view>

#include "usb/usb_device_model.h"

namespace nrv {

// bRequest values of the printer class requests.
constexpr UCHAR kPrinterGetDeviceId = 0;
constexpr UCHAR kPrinterGetPortStatus = 1;
constexpr UCHAR kPrinterSoftReset = 2;

// Port status bits of the printer class status byte.
constexpr UCHAR kPortStatusPaperEmpty = 0x20;
constexpr UCHAR kPortStatusSelected = 0x10;
constexpr UCHAR kPortStatusNoError = 0x08;

// A printer-class interface (class 7, subclass 1) with a bulk OUT endpoint
// and, for the bidirectional protocols (2 and up), a bulk IN endpoint.
UsbInterfaceDescription printerInterface(UCHAR number = 0, UCHAR alternateSetting = 0, UCHAR protocol = 2,
                                         UCHAR outAddress = 0x01, UCHAR inAddress = 0x82,
                                         USHORT maxPacketSize = 64);

// The default printer: vendor 0x0A5F, product 0x0027, bcdDevice 0x0100,
// manufacturer and product strings, serial number "NRV0001", and one
// bidirectional printer interface; at high speed a USB 2.0 device with 512-byte packets.
UsbDeviceDescription printerDescription(UsbSpeed speed = UsbSpeed::Full);

// A GET_DEVICE_ID reply: the 2-byte big-endian length (counting itself), then the text.
std::vector<UCHAR> ieee1284DeviceId(std::string_view text);

struct PrinterConfig {
  UsbDeviceDescription usb = printerDescription();
  // The GET_DEVICE_ID reply, raw: tests may give it a wrong length prefix.
  std::vector<UCHAR> deviceId =
      ieee1284DeviceId("MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;");
  // The printer class status byte: 0x20 paper empty, 0x10 selected, 0x08 not in error.
  UCHAR portStatus = kPortStatusSelected | kPortStatusNoError;
  // What it receives waits in its buffer until printed; while the buffer is
  // full, bulk OUT packets are NAKed. It prints only while selected, with
  // paper and without error. A print rate of 0 never prints;
  // InputBuffer::kUnlimited takes every byte at once, as if printed at the link's rate.
  uint64_t bufferSize = 64 * 1024;
  uint64_t printBytesPerMillisecond = 1024;
};

// Whether a printer with this status byte prints, and so drains its buffer.
bool printsWith(UCHAR portStatus);

class SimulatedPrinter : public UsbDeviceModel {
 public:
  explicit SimulatedPrinter(PrinterConfig config = {});

  void setDeviceId(std::vector<UCHAR> reply);
  // Takes effect at once, for the next GET_PORT_STATUS and for printing.
  void setPortStatus(UCHAR status);
  UCHAR portStatus() const;
  // SOFT_RESET requests answered so far.
  unsigned softResets() const;
  // GET_PORT_STATUS is stalled from now on, as by firmware that lacks it.
  void refuseStatusRequests();
  // Hears every GET_PORT_STATUS answered, with the byte sent, outside the printer's lock.
  void observeStatusPolls(std::function<void(UCHAR status)> observer);

 protected:
  UsbControlReply answerClassOrVendor(const UsbControlRequest& request) override;

 private:
  mutable std::mutex lock_;
  std::vector<UCHAR> deviceId_;
  UCHAR portStatus_;
  unsigned softResets_ = 0;
  bool refusesStatus_ = false;
  std::function<void(UCHAR)> statusPollObserver_;
};

}  // namespace nrv
