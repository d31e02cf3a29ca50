// What a simulated USB device is: its descriptors, described field by field,
// and the control requests it answers on its default pipe. The bus turns each
// URB into the control transfers a real host controller would send; the model
// answers them as the device's firmware would and logs every one.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/input_buffer.h"
#include "usb/usb_link.h"

namespace nrv {

// bmRequestType and bRequest values of the standard requests the bus sends.
constexpr UCHAR kUsbDirectionIn = 0x80;
constexpr UCHAR kUsbTypeMask = 0x60;
constexpr UCHAR kUsbTypeStandard = 0x00;
constexpr UCHAR kUsbTypeClass = 0x20;
constexpr UCHAR kUsbTypeVendor = 0x40;
constexpr UCHAR kUsbRecipientMask = 0x1F;
constexpr UCHAR kUsbRecipientDevice = 0x00;
constexpr UCHAR kUsbRecipientInterface = 0x01;
constexpr UCHAR kUsbRecipientEndpoint = 0x02;
constexpr UCHAR kUsbRecipientOther = 0x03;

constexpr UCHAR kUsbGetDescriptor = 0x06;
constexpr UCHAR kUsbSetConfiguration = 0x09;
constexpr UCHAR kUsbSetInterface = 0x0B;

// A string descriptor's length is one byte: it holds at most this many UTF-16 characters.
constexpr size_t kMaxStringDescriptorCharacters = 126;

// String descriptor indexes a description's strings get (0 when absent).
constexpr UCHAR kManufacturerStringIndex = 1;
constexpr UCHAR kProductStringIndex = 2;
constexpr UCHAR kSerialNumberStringIndex = 3;

// In a logged request's urbFunction: sent by the bus on its own (the
// reconfiguration after a port reset), not carried by a driver's URB.
constexpr USHORT kUsbBusOwnRequest = 0xFFFF;

struct UsbEndpointDescription {
  UCHAR address = 0;  // bit 7 set: IN (device to host)
  UCHAR attributes = USB_ENDPOINT_TYPE_BULK;
  USHORT maxPacketSize = 64;
  UCHAR interval = 0;
};

struct UsbInterfaceDescription {
  UCHAR number = 0;
  UCHAR alternateSetting = 0;
  UCHAR interfaceClass = 0;
  UCHAR interfaceSubClass = 0;
  UCHAR interfaceProtocol = 0;
  std::vector<UsbEndpointDescription> endpoints;
  // Class-specific descriptors sent right after the interface descriptor,
  // byte for byte as given (a wrong bLength makes a broken configuration).
  std::vector<std::vector<UCHAR>> classDescriptors;
};

struct UsbDeviceDescription {
  // The link's speed; bcdUSB and the bulk endpoints' packet size agree with it
  // (0x0200 or later and 512 bytes at high speed, at most 64 bytes at full speed).
  UsbSpeed speed = UsbSpeed::Full;
  USHORT usbVersion = 0x0110;
  UCHAR deviceClass = 0;  // 0: each interface names its own class
  UCHAR deviceSubClass = 0;
  UCHAR deviceProtocol = 0;
  UCHAR maxPacketSize0 = 8;
  USHORT vendorId = 0;
  USHORT productId = 0;
  USHORT deviceVersion = 0x0100;  // bcdDevice
  std::optional<std::u16string> manufacturer;
  std::optional<std::u16string> product;
  std::optional<std::u16string> serialNumber;
  std::vector<USHORT> languages{0x0409};  // string descriptor 0
  UCHAR configurationValue = 1;
  UCHAR configurationAttributes = 0xC0;  // self-powered
  UCHAR maxPower = 1;                    // in 2 mA units
  // Interfaces in the order the configuration descriptor lists them.
  std::vector<UsbInterfaceDescription> interfaces;
  // Answered for the configuration descriptor instead of the one built from
  // the fields above, for devices whose descriptors are broken.
  std::optional<std::vector<UCHAR>> configurationOverride;
};

// A class-specific or vendor descriptor of the given type and total length,
// its body filled with a recognisable pattern.
std::vector<UCHAR> makeDescriptor(UCHAR type, size_t length);

// One control transfer as it reaches the device, with what carried it.
struct UsbControlRequest {
  UCHAR requestType = 0;       // bmRequestType as sent on the bus
  UCHAR request = 0;           // bRequest
  USHORT value = 0;            // wValue
  USHORT index = 0;            // wIndex
  USHORT length = 0;           // wLength
  USHORT urbFunction = 0;      // the URB_FUNCTION_* that carried it, or kUsbBusOwnRequest
  UCHAR requestTypeBits = 0;   // a class or vendor URB's RequestTypeReservedBits, as the driver set them
  ULONG transferFlags = 0;     // the URB's TransferFlags
  std::vector<UCHAR> outData;  // data stage of a host-to-device request

  bool in() const { return (requestType & kUsbDirectionIn) != 0; }
  UCHAR type() const { return requestType & kUsbTypeMask; }
  UCHAR recipient() const { return requestType & kUsbRecipientMask; }
  // For GET_DESCRIPTOR: the descriptor type and index in wValue.
  UCHAR descriptorType() const { return static_cast<UCHAR>(value >> 8); }
  UCHAR descriptorIndex() const { return static_cast<UCHAR>(value & 0xFF); }
};

struct UsbControlReply {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<UCHAR> data;  // data stage of a device-to-host request; at most wLength bytes are sent
};

struct UsbRequestRecord : UsbControlRequest {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  size_t bytesReturned = 0;  // device-to-host bytes sent
};

// One bulk transfer as the device saw it end.
struct BulkTransferRecord {
  UCHAR endpoint = 0;       // bit 7 set: IN
  ULONG requested = 0;      // the transfer's length as submitted
  ULONG moved = 0;          // bytes moved: received on OUT, sent on IN
  uint32_t checksum = 0;    // bulkChecksum of the bytes moved
  std::vector<UCHAR> data;  // the bytes moved, while the device keeps them (see keepBulkData)
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// CRC-32 (the IEEE 802.3 polynomial) of the bytes, continuing from the value of
// the bytes before them, so a stream's checksum does not depend on how it was cut.
uint32_t bulkChecksum(const UCHAR* data, size_t length, uint32_t previous = 0);

// What the device will do with a bulk transfer, fixed when it is submitted.
struct BulkPlan {
  enum class Action { Normal, Stall, Fail, FailRequest, Hold } action = Action::Normal;
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // Fail: the status
  ULONG bytes = 0;                           // Fail: bytes moved before the failure
  uint64_t delayMilliseconds = 0;            // Normal: virtual time before the device answers
  NTSTATUS requestStatus = STATUS_SUCCESS;   // FailRequest: the status the IRP ends with
};

inline UsbControlReply stall() { return UsbControlReply{USBD_STATUS_STALL_PID, {}}; }

class UsbDeviceModel {
 public:
  explicit UsbDeviceModel(UsbDeviceDescription description);
  virtual ~UsbDeviceModel() = default;
  UsbDeviceModel(const UsbDeviceModel&) = delete;
  UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;

  const UsbDeviceDescription& description() const { return description_; }
  // The serial number as its string descriptor carries it: cut to what fits.
  std::optional<std::u16string> serialNumberString() const;
  // The descriptors as the device sends them.
  std::vector<UCHAR> deviceDescriptor() const;
  std::vector<UCHAR> configurationDescriptor() const;

  // Answers one control transfer and logs it with its outcome.
  UsbControlReply control(const UsbControlRequest& request);
  // A bus reset: the device is back at its default, unconfigured state.
  void busReset();

  // The configuration value set by SET_CONFIGURATION; 0 while unconfigured.
  UCHAR configuration() const;
  UCHAR alternateSetting(UCHAR interfaceNumber) const;

  // Every control transfer the device has seen, oldest first.
  std::vector<UsbRequestRecord> log() const;
  void clearLog();

  // ---- bulk endpoints
  // The OUT sink: every OUT transfer that ended, oldest first, and all bytes received.
  std::vector<BulkTransferRecord> outTransfers() const;
  std::vector<UCHAR> outData() const;
  // Every bulk transfer the device answered, either direction, with its status;
  // transfers cancelled or aborted before it answered are not among them.
  std::vector<BulkTransferRecord> bulkLog() const;
  // The records from the given position of the log on, and the log's length:
  // a reader that follows the log copies each record once.
  std::vector<BulkTransferRecord> bulkLogSince(size_t first) const;
  size_t bulkLogSize() const;
  // Records keep the bytes moved unless told not to: then sizes and checksums
  // are all the log holds, and a long print costs no memory.
  void keepBulkData(bool keep);
  // Bulk transfers submitted to the endpoint so far; a fault for one of them would never happen.
  unsigned bulkTransfersSubmitted(UCHAR endpoint) const;
  // The IN source: each reply is sent to the IN transfers that follow; a
  // transfer that takes a reply's last byte ends there, as on a short packet.
  // While no reply waits, IN transfers are NAKed and stay pending.
  void queueInReply(std::vector<UCHAR> reply);
  size_t inRepliesWaiting() const;

  // Scripted faults for the nth bulk transfer submitted to an endpoint (1 is the first).
  // A transfer takes one fault: a second one for it stops the machine.
  // Stall: the transfer ends with USBD_STATUS_ENDPOINT_HALTED and the pipe
  // stays halted until a reset pipe request.
  void stallBulkTransfer(UCHAR endpoint, unsigned nth);
  // Fail: ends with the given status after moving bytesMoved bytes.
  void failBulkTransfer(UCHAR endpoint, unsigned nth, USBD_STATUS status, ULONG bytesMoved = 0);
  // FailRequest: the bus ends the transfer's IRP with the given failure before
  // the device sees it, leaving the URB (status and length) as it was submitted.
  void failBulkRequest(UCHAR endpoint, unsigned nth, NTSTATUS status);
  // Delay: the device answers after the given virtual milliseconds.
  void delayBulkTransfer(UCHAR endpoint, unsigned nth, uint64_t milliseconds);
  // Hold: the device never answers; the transfer ends only when cancelled or aborted.
  void holdBulkTransfer(UCHAR endpoint, unsigned nth);
  // Control requests with this bmRequestType and bRequest are never answered:
  // they stay pending until cancelled. answerControlRequests ends that.
  void neverAnswerControl(UCHAR requestType, UCHAR request);
  void answerControlRequests();

  // For the bus: counts a submitted bulk transfer and says what becomes of it.
  BulkPlan planBulkTransfer(UCHAR endpoint);
  bool inDataReady() const;
  // The bytes the next IN transfer of at most length bytes would get.
  size_t inBytesReady(ULONG length) const;
  // Runs a transfer that the plan lets through: OUT takes the bytes, IN gives
  // at most length bytes (and returns them). Records the transfer with the status given.
  std::vector<UCHAR> bulkTransfer(UCHAR endpoint, const UCHAR* out, ULONG length, ULONG requested,
                                  USBD_STATUS status);
  // Called (outside the model's lock) when an IN reply arrives or the input
  // buffer starts or stops draining, so the bus looks again.
  void setChangeNotifier(std::function<void()> notifier);
  // The machine's clock, in 100 ns units, once the device is plugged in.
  void setClock(std::function<uint64_t()> clock);

  // ---- the input buffer that bulk OUT data goes to (unlimited unless a model sets one)
  // The bus offers the bytes of one OUT transfer at a time at the link's rate.
  void offerOut(ULONG bytes, uint64_t linkBytesPerMillisecond);
  bool offeringOut() const;
  // When the buffer will have taken the whole offer, or InputBuffer::kNever while it waits for draining.
  uint64_t outOfferTakenAt();
  // The offer's transfer ended or went away; returns the bytes the buffer took.
  uint64_t withdrawOut();
  // Bytes received and not yet printed.
  uint64_t inputBufferLevel();

 protected:
  // A model with a buffer of its own: the capacity, and how fast it drains while it may.
  void setInputBuffer(uint64_t capacityBytes, uint64_t drainBytesPerMillisecond);
  void setDraining(bool draining);
  // Tells the bus to look again; the caller holds no lock of the model.
  void notifyChange();

  // Class and vendor requests. Here vendor requests succeed without data and
  // class requests stall; a model overrides this with its own requests.
  virtual UsbControlReply answerClassOrVendor(const UsbControlRequest& request);

 private:
  UsbControlReply answerStandard(const UsbControlRequest& request);
  UsbControlReply answerGetDescriptor(const UsbControlRequest& request) const;
  std::vector<UCHAR> stringDescriptor(UCHAR index, USHORT language, bool& found) const;

  const UsbDeviceDescription description_;
  const std::vector<UCHAR> configurationDescriptor_;
  mutable std::mutex lock_;
  UCHAR configuration_ = 0;
  std::map<UCHAR, UCHAR> alternateSettings_;
  std::vector<UsbRequestRecord> log_;

  std::vector<BulkTransferRecord> bulkLog_;
  bool keepBulkData_ = true;
  std::deque<std::vector<UCHAR>> inReplies_;
  size_t inReplyOffset_ = 0;  // bytes of the front reply already sent
  std::map<UCHAR, unsigned> bulkSubmitted_;
  std::map<std::pair<UCHAR, unsigned>, BulkPlan> bulkFaults_;
  std::vector<std::pair<UCHAR, UCHAR>> unansweredControl_;
  std::function<void()> changeNotifier_;
  std::function<uint64_t()> clock_;
  InputBuffer inputBuffer_;

  void scheduleBulkFault(UCHAR endpoint, unsigned nth, BulkPlan plan);
  // The clock's time; the caller holds the lock.
  uint64_t now() const { return clock_ ? clock_() : 0; }
  // The next bytes of the queued IN replies, at most length; the caller holds the lock.
  std::vector<UCHAR> takeInReply(ULONG length, USBD_STATUS status);
};

}  // namespace nrv
