#include "usb/usb_device_model.h"

#include <algorithm>
#include <set>

#include "base/bugcheck.h"
#include "base/text.h"

namespace nrv {

namespace {

// Eight tables let the checksum take eight bytes a step: long prints are checked at memory speed.
struct ChecksumTables {
  uint32_t entries[8][256];
  ChecksumTables() {
    for (uint32_t byte = 0; byte < 256; byte++) {
      uint32_t value = byte;
      for (int bit = 0; bit < 8; bit++) value = (value >> 1) ^ ((value & 1) != 0 ? 0xEDB88320u : 0);
      entries[0][byte] = value;
    }
    for (int table = 1; table < 8; table++) {
      for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t previous = entries[table - 1][byte];
        entries[table][byte] = (previous >> 8) ^ entries[0][previous & 0xFF];
      }
    }
  }
};

const ChecksumTables& checksumTables() {
  static const ChecksumTables tables;
  return tables;
}

void putWord(std::vector<UCHAR>& bytes, USHORT value) {
  bytes.push_back(static_cast<UCHAR>(value & 0xFF));
  bytes.push_back(static_cast<UCHAR>(value >> 8));
}

// A bulk endpoint's packets are 512 bytes at high speed and 8 to 64 bytes at
// full speed, and only a USB 2.0 device runs at high speed.
void checkSpeed(const UsbDeviceDescription& description) {
  bool high = description.speed == UsbSpeed::High;
  if (high && description.usbVersion < 0x0200) {
    bugCheck("INVALID_USB_DEVICE",
             format("a high-speed simulated device reports bcdUSB 0x%04X; it needs 0x0200 or later",
                    description.usbVersion));
  }
  for (const UsbInterfaceDescription& interface : description.interfaces) {
    for (const UsbEndpointDescription& endpoint : interface.endpoints) {
      if ((endpoint.attributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) continue;
      USHORT size = endpoint.maxPacketSize;
      bool fits = high ? size == 512 : (size == 8 || size == 16 || size == 32 || size == 64);
      if (!fits) {
        bugCheck("INVALID_USB_DEVICE",
                 format("bulk endpoint 0x%02X of a %s-speed simulated device has %u-byte packets; %s",
                        endpoint.address, high ? "high" : "full", size,
                        high ? "high speed takes 512" : "full speed takes 8, 16, 32 or 64"));
      }
    }
  }
}

std::vector<UCHAR> buildConfiguration(const UsbDeviceDescription& description) {
  checkSpeed(description);
  std::set<UCHAR> numbers;
  for (const UsbInterfaceDescription& interface : description.interfaces) numbers.insert(interface.number);

  std::vector<UCHAR> bytes{sizeof(USB_CONFIGURATION_DESCRIPTOR),
                           USB_CONFIGURATION_DESCRIPTOR_TYPE,
                           0,
                           0,
                           static_cast<UCHAR>(numbers.size()),
                           description.configurationValue,
                           0,
                           description.configurationAttributes,
                           description.maxPower};
  for (const UsbInterfaceDescription& interface : description.interfaces) {
    if (interface.endpoints.size() > 30) {
      bugCheck("INVALID_USB_DEVICE",
               format("interface %u of a simulated device has %zu endpoints; at most 30 exist",
                      interface.number, interface.endpoints.size()));
    }
    bytes.insert(bytes.end(),
                 {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, interface.number,
                  interface.alternateSetting, static_cast<UCHAR>(interface.endpoints.size()),
                  interface.interfaceClass, interface.interfaceSubClass, interface.interfaceProtocol, 0});
    for (const std::vector<UCHAR>& extra : interface.classDescriptors)
      bytes.insert(bytes.end(), extra.begin(), extra.end());
    for (const UsbEndpointDescription& endpoint : interface.endpoints) {
      bytes.insert(bytes.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                                 endpoint.address, endpoint.attributes});
      putWord(bytes, endpoint.maxPacketSize);
      bytes.push_back(endpoint.interval);
    }
  }
  if (bytes.size() > 0xFFFF) {
    bugCheck("INVALID_USB_DEVICE",
             format("a simulated device's configuration takes %zu bytes; wTotalLength holds at most 65535",
                    bytes.size()));
  }
  bytes[2] = static_cast<UCHAR>(bytes.size() & 0xFF);
  bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
  return bytes;
}

}  // namespace

std::vector<UCHAR> makeDescriptor(UCHAR type, size_t length) {
  if (length < 2 || length > 255) {
    bugCheck("INVALID_USB_DEVICE",
             format("a descriptor of %zu bytes cannot be described by bLength", length));
  }
  std::vector<UCHAR> bytes{static_cast<UCHAR>(length), type};
  for (size_t index = 2; index < length; index++) bytes.push_back(static_cast<UCHAR>(index));
  return bytes;
}

UsbDeviceModel::UsbDeviceModel(UsbDeviceDescription description)
    : description_(std::move(description)),
      configurationDescriptor_(description_.configurationOverride ? *description_.configurationOverride
                                                                  : buildConfiguration(description_)) {}

std::vector<UCHAR> UsbDeviceModel::deviceDescriptor() const {
  const UsbDeviceDescription& d = description_;
  std::vector<UCHAR> bytes{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  putWord(bytes, d.usbVersion);
  bytes.insert(bytes.end(), {d.deviceClass, d.deviceSubClass, d.deviceProtocol, d.maxPacketSize0});
  putWord(bytes, d.vendorId);
  putWord(bytes, d.productId);
  putWord(bytes, d.deviceVersion);
  bytes.push_back(d.manufacturer ? kManufacturerStringIndex : 0);
  bytes.push_back(d.product ? kProductStringIndex : 0);
  bytes.push_back(d.serialNumber ? kSerialNumberStringIndex : 0);
  bytes.push_back(1);  // one configuration
  return bytes;
}

std::vector<UCHAR> UsbDeviceModel::configurationDescriptor() const { return configurationDescriptor_; }

UsbControlReply UsbDeviceModel::control(const UsbControlRequest& request) {
  bool unanswered;
  {
    std::lock_guard<std::mutex> guard(lock_);
    unanswered = std::find(unansweredControl_.begin(), unansweredControl_.end(),
                           std::make_pair(request.requestType, request.request)) != unansweredControl_.end();
  }
  UsbControlReply reply;
  if (unanswered) {
    reply.status = USBD_STATUS_PENDING;
  } else {
    reply = request.type() == kUsbTypeStandard ? answerStandard(request) : answerClassOrVendor(request);
  }
  if (!request.in() || !USBD_SUCCESS(reply.status)) reply.data.clear();
  // A device never sends more than the host asked for.
  if (reply.data.size() > request.length) reply.data.resize(request.length);
  UsbRequestRecord record;
  static_cast<UsbControlRequest&>(record) = request;
  record.status = reply.status;
  record.bytesReturned = reply.data.size();
  std::lock_guard<std::mutex> guard(lock_);
  log_.push_back(std::move(record));
  return reply;
}

void UsbDeviceModel::busReset() {
  std::lock_guard<std::mutex> guard(lock_);
  configuration_ = 0;
  alternateSettings_.clear();
}

UCHAR UsbDeviceModel::configuration() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

UCHAR UsbDeviceModel::alternateSetting(UCHAR interfaceNumber) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = alternateSettings_.find(interfaceNumber);
  return found == alternateSettings_.end() ? 0 : found->second;
}

std::vector<UsbRequestRecord> UsbDeviceModel::log() const {
  std::lock_guard<std::mutex> guard(lock_);
  return log_;
}

void UsbDeviceModel::clearLog() {
  std::lock_guard<std::mutex> guard(lock_);
  log_.clear();
}

UsbControlReply UsbDeviceModel::answerClassOrVendor(const UsbControlRequest& request) {
  return request.type() == kUsbTypeVendor ? UsbControlReply{} : stall();
}

UsbControlReply UsbDeviceModel::answerStandard(const UsbControlRequest& request) {
  UCHAR direction = request.requestType & kUsbDirectionIn;
  UCHAR recipient = request.recipient();
  if (request.request == kUsbGetDescriptor && direction && recipient == kUsbRecipientDevice) {
    return answerGetDescriptor(request);
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (request.request == kUsbSetConfiguration && !direction && recipient == kUsbRecipientDevice) {
    if (request.value != 0 && request.value != description_.configurationValue) return stall();
    configuration_ = static_cast<UCHAR>(request.value);
    alternateSettings_.clear();
    return UsbControlReply{};
  }
  if (request.request == kUsbSetInterface && !direction && recipient == kUsbRecipientInterface) {
    if (configuration_ == 0) return stall();
    for (const UsbInterfaceDescription& interface : description_.interfaces) {
      if (interface.number == request.index && interface.alternateSetting == request.value) {
        alternateSettings_[interface.number] = interface.alternateSetting;
        return UsbControlReply{};
      }
    }
    return stall();
  }
  return stall();
}

UsbControlReply UsbDeviceModel::answerGetDescriptor(const UsbControlRequest& request) const {
  UCHAR index = request.descriptorIndex();
  switch (request.descriptorType()) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return index == 0 ? UsbControlReply{USBD_STATUS_SUCCESS, deviceDescriptor()} : stall();
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      return index == 0 ? UsbControlReply{USBD_STATUS_SUCCESS, configurationDescriptor_} : stall();
    case USB_STRING_DESCRIPTOR_TYPE: {
      bool found = false;
      std::vector<UCHAR> bytes = stringDescriptor(index, request.index, found);
      return found ? UsbControlReply{USBD_STATUS_SUCCESS, std::move(bytes)} : stall();
    }
    default:
      return stall();
  }
}

std::optional<std::u16string> UsbDeviceModel::serialNumberString() const {
  if (!description_.serialNumber) return std::nullopt;
  return description_.serialNumber->substr(0, kMaxStringDescriptorCharacters);
}

std::vector<UCHAR> UsbDeviceModel::stringDescriptor(UCHAR index, USHORT language, bool& found) const {
  const UsbDeviceDescription& d = description_;
  std::vector<UCHAR> bytes{0, USB_STRING_DESCRIPTOR_TYPE};
  found = false;
  if (index == 0) {
    for (USHORT id : d.languages) putWord(bytes, id);
  } else {
    const std::optional<std::u16string>* text = index == kManufacturerStringIndex   ? &d.manufacturer
                                                : index == kProductStringIndex      ? &d.product
                                                : index == kSerialNumberStringIndex ? &d.serialNumber
                                                                                    : nullptr;
    if (text == nullptr || !text->has_value()) return {};
    // Like most devices it answers a request that names no language (0) in its own.
    if (language != 0 && std::find(d.languages.begin(), d.languages.end(), language) == d.languages.end())
      return {};
    for (char16_t c : **text) putWord(bytes, c);
  }
  // bLength is one byte: longer texts are cut, as a device's fixed tables would be.
  if (bytes.size() > 2 + 2 * kMaxStringDescriptorCharacters)
    bytes.resize(2 + 2 * kMaxStringDescriptorCharacters);
  bytes[0] = static_cast<UCHAR>(bytes.size());
  found = true;
  return bytes;
}

}  // namespace nrv

namespace nrv {

uint32_t bulkChecksum(const UCHAR* data, size_t length, uint32_t previous) {
  const auto& table = checksumTables().entries;
  uint32_t crc = ~previous;
  for (; length >= 8; data += 8, length -= 8) {
    uint32_t low = crc ^ (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
    crc = table[7][low & 0xFF] ^ table[6][(low >> 8) & 0xFF] ^ table[5][(low >> 16) & 0xFF] ^
          table[4][low >> 24] ^ table[3][data[4]] ^ table[2][data[5]] ^ table[1][data[6]] ^ table[0][data[7]];
  }
  for (; length > 0; data++, length--) crc = (crc >> 8) ^ table[0][(crc ^ *data) & 0xFF];
  return ~crc;
}

std::vector<BulkTransferRecord> UsbDeviceModel::outTransfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<BulkTransferRecord> result;
  for (const BulkTransferRecord& record : bulkLog_) {
    if ((record.endpoint & kUsbDirectionIn) == 0) result.push_back(record);
  }
  return result;
}

std::vector<UCHAR> UsbDeviceModel::outData() const {
  std::vector<UCHAR> data;
  for (const BulkTransferRecord& record : outTransfers())
    data.insert(data.end(), record.data.begin(), record.data.end());
  return data;
}

std::vector<BulkTransferRecord> UsbDeviceModel::bulkLog() const { return bulkLogSince(0); }

std::vector<BulkTransferRecord> UsbDeviceModel::bulkLogSince(size_t first) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (first >= bulkLog_.size()) return {};
  return std::vector<BulkTransferRecord>(bulkLog_.begin() + static_cast<ptrdiff_t>(first), bulkLog_.end());
}

size_t UsbDeviceModel::bulkLogSize() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bulkLog_.size();
}

void UsbDeviceModel::keepBulkData(bool keep) {
  std::lock_guard<std::mutex> guard(lock_);
  keepBulkData_ = keep;
}

unsigned UsbDeviceModel::bulkTransfersSubmitted(UCHAR endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = bulkSubmitted_.find(endpoint);
  return found == bulkSubmitted_.end() ? 0 : found->second;
}

void UsbDeviceModel::queueInReply(std::vector<UCHAR> reply) {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> guard(lock_);
    inReplies_.push_back(std::move(reply));
    notify = changeNotifier_;
  }
  if (notify) notify();
}

size_t UsbDeviceModel::inRepliesWaiting() const {
  std::lock_guard<std::mutex> guard(lock_);
  return inReplies_.size();
}

void UsbDeviceModel::scheduleBulkFault(UCHAR endpoint, unsigned nth, BulkPlan plan) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!bulkFaults_.emplace(std::make_pair(endpoint, nth), plan).second) {
    bugCheck("BULK_FAULT_SCHEDULED_TWICE",
             format("bulk transfer %u of endpoint 0x%02X has a fault already; a transfer takes one", nth,
                    endpoint));
  }
}

void UsbDeviceModel::stallBulkTransfer(UCHAR endpoint, unsigned nth) {
  scheduleBulkFault(endpoint, nth, BulkPlan{BulkPlan::Action::Stall, USBD_STATUS_ENDPOINT_HALTED, 0, 0});
}

void UsbDeviceModel::failBulkTransfer(UCHAR endpoint, unsigned nth, USBD_STATUS status, ULONG bytesMoved) {
  scheduleBulkFault(endpoint, nth, BulkPlan{BulkPlan::Action::Fail, status, bytesMoved, 0});
}

void UsbDeviceModel::failBulkRequest(UCHAR endpoint, unsigned nth, NTSTATUS status) {
  if (NT_SUCCESS(status)) {
    bugCheck("INVALID_PARAMETER",
             format("failBulkRequest was given 0x%08X, which is no failure", static_cast<unsigned>(status)));
  }
  BulkPlan plan;
  plan.action = BulkPlan::Action::FailRequest;
  plan.requestStatus = status;
  scheduleBulkFault(endpoint, nth, plan);
}

void UsbDeviceModel::delayBulkTransfer(UCHAR endpoint, unsigned nth, uint64_t milliseconds) {
  scheduleBulkFault(endpoint, nth, BulkPlan{BulkPlan::Action::Normal, USBD_STATUS_SUCCESS, 0, milliseconds});
}

void UsbDeviceModel::holdBulkTransfer(UCHAR endpoint, unsigned nth) {
  scheduleBulkFault(endpoint, nth, BulkPlan{BulkPlan::Action::Hold, USBD_STATUS_SUCCESS, 0, 0});
}

void UsbDeviceModel::neverAnswerControl(UCHAR requestType, UCHAR request) {
  std::lock_guard<std::mutex> guard(lock_);
  unansweredControl_.emplace_back(requestType, request);
}

void UsbDeviceModel::answerControlRequests() {
  std::lock_guard<std::mutex> guard(lock_);
  unansweredControl_.clear();
}

BulkPlan UsbDeviceModel::planBulkTransfer(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  unsigned number = ++bulkSubmitted_[endpoint];
  auto found = bulkFaults_.find({endpoint, number});
  return found == bulkFaults_.end() ? BulkPlan{} : found->second;
}

bool UsbDeviceModel::inDataReady() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !inReplies_.empty();
}

size_t UsbDeviceModel::inBytesReady(ULONG length) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (inReplies_.empty()) return 0;
  return std::min<size_t>(length, inReplies_.front().size() - inReplyOffset_);
}

std::vector<UCHAR> UsbDeviceModel::bulkTransfer(UCHAR endpoint, const UCHAR* out, ULONG length,
                                                ULONG requested, USBD_STATUS status) {
  std::lock_guard<std::mutex> guard(lock_);
  BulkTransferRecord record{endpoint, requested, 0, 0, {}, status};
  std::vector<UCHAR> sent;
  if ((endpoint & kUsbDirectionIn) == 0) {
    record.moved = length;
    record.checksum = bulkChecksum(out, record.moved);
    if (keepBulkData_ && record.moved != 0) record.data.assign(out, out + record.moved);
  } else {
    sent = takeInReply(length, status);
    record.moved = static_cast<ULONG>(sent.size());
    record.checksum = bulkChecksum(sent.data(), sent.size());
    if (keepBulkData_) record.data = sent;
  }
  bulkLog_.push_back(std::move(record));
  return sent;
}

std::vector<UCHAR> UsbDeviceModel::takeInReply(ULONG length, USBD_STATUS status) {
  if (inReplies_.empty() || (length == 0 && status != USBD_STATUS_SUCCESS)) return {};
  const std::vector<UCHAR>& reply = inReplies_.front();
  size_t count = std::min<size_t>(length, reply.size() - inReplyOffset_);
  std::vector<UCHAR> sent(reply.begin() + static_cast<ptrdiff_t>(inReplyOffset_),
                          reply.begin() + static_cast<ptrdiff_t>(inReplyOffset_ + count));
  inReplyOffset_ += count;
  if (inReplyOffset_ == reply.size()) {
    inReplies_.pop_front();
    inReplyOffset_ = 0;
  }
  return sent;
}

void UsbDeviceModel::setChangeNotifier(std::function<void()> notifier) {
  std::lock_guard<std::mutex> guard(lock_);
  changeNotifier_ = std::move(notifier);
}

void UsbDeviceModel::setClock(std::function<uint64_t()> clock) {
  std::lock_guard<std::mutex> guard(lock_);
  clock_ = std::move(clock);
}

void UsbDeviceModel::notifyChange() {
  std::function<void()> notify;
  {
    std::lock_guard<std::mutex> guard(lock_);
    notify = changeNotifier_;
  }
  if (notify) notify();
}

void UsbDeviceModel::setInputBuffer(uint64_t capacityBytes, uint64_t drainBytesPerMillisecond) {
  std::lock_guard<std::mutex> guard(lock_);
  inputBuffer_ = InputBuffer(capacityBytes, drainBytesPerMillisecond);
}

void UsbDeviceModel::setDraining(bool draining) {
  std::lock_guard<std::mutex> guard(lock_);
  inputBuffer_.setDraining(now(), draining);
}

void UsbDeviceModel::offerOut(ULONG bytes, uint64_t linkBytesPerMillisecond) {
  std::lock_guard<std::mutex> guard(lock_);
  inputBuffer_.offer(now(), bytes, linkBytesPerMillisecond);
}

bool UsbDeviceModel::offeringOut() const {
  std::lock_guard<std::mutex> guard(lock_);
  return inputBuffer_.offering();
}

uint64_t UsbDeviceModel::outOfferTakenAt() {
  std::lock_guard<std::mutex> guard(lock_);
  return inputBuffer_.offerTakenAt(now());
}

uint64_t UsbDeviceModel::withdrawOut() {
  std::lock_guard<std::mutex> guard(lock_);
  return inputBuffer_.withdraw(now());
}

uint64_t UsbDeviceModel::inputBufferLevel() {
  std::lock_guard<std::mutex> guard(lock_);
  return inputBuffer_.levelBytes(now());
}

}  // namespace nrv
