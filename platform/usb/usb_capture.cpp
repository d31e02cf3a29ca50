#include "usb/usb_capture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nrv {

namespace {

// pcap with nanosecond timestamps; the link type USBPcap was given.
constexpr uint32_t kPcapNanosecondMagic = 0xA1B23C4D;
constexpr uint32_t kLinkTypeUsbPcap = 249;
// Records longer than this are cut, as a capture tool's snapshot length cuts them.
constexpr uint32_t kSnapshotLength = 0x40000;
constexpr uint64_t kUnitsPerSecond = 10000000;  // the clock's 100 ns units

// The header every USBPcap record starts with, and the control stage byte after it.
constexpr USHORT kHeaderLength = 27;
constexpr USHORT kControlHeaderLength = 28;
constexpr UCHAR kInfoCompletion = 0x01;  // the packet goes from the device's stack back to the driver

void put16(std::vector<UCHAR>& out, uint32_t value) {
  out.push_back(static_cast<UCHAR>(value));
  out.push_back(static_cast<UCHAR>(value >> 8));
}

void put32(std::vector<UCHAR>& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

void put64(std::vector<UCHAR>& out, uint64_t value) {
  put32(out, static_cast<uint32_t>(value));
  put32(out, static_cast<uint32_t>(value >> 32));
}

}  // namespace

std::vector<UCHAR> usbPcapRecord(const UsbTrafficPacket& packet) {
  bool control = packet.transfer == UsbTransferKind::Control;
  bool setup = control && packet.stage == UsbControlStage::Setup;
  const UCHAR* data = setup ? packet.setup.data() : packet.data;
  size_t length = setup ? packet.setup.size() : packet.length;
  std::vector<UCHAR> out;
  out.reserve(kControlHeaderLength + length);
  put16(out, control ? kControlHeaderLength : kHeaderLength);
  put64(out, packet.requestId);
  put32(out, static_cast<uint32_t>(packet.status));
  put16(out, packet.function);
  out.push_back(packet.completion ? kInfoCompletion : 0);
  put16(out, packet.bus);
  put16(out, packet.device);
  out.push_back(packet.endpoint);
  out.push_back(static_cast<UCHAR>(packet.transfer));
  put32(out, static_cast<uint32_t>(length));
  if (control) out.push_back(static_cast<UCHAR>(packet.stage));
  if (length != 0) out.insert(out.end(), data, data + length);
  return out;
}

UsbCaptureFile::~UsbCaptureFile() {
  std::string ignored;
  close(ignored);
}

bool UsbCaptureFile::open(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  std::vector<UCHAR> header;
  put32(header, kPcapNanosecondMagic);
  put16(header, 2);  // format version 2.4
  put16(header, 4);
  put32(header, 0);  // the clock's zone: none
  put32(header, 0);  // its accuracy
  put32(header, kSnapshotLength);
  put32(header, kLinkTypeUsbPcap);
  write(header.data(), header.size());
  return true;
}

void UsbCaptureFile::clockRestarted() {
  std::lock_guard<std::mutex> guard(lock_);
  base_ = last_;
}

uint64_t UsbCaptureFile::requestNumber(const UsbTrafficPacket& packet) {
  auto found = requestNumbers_.find(packet.requestId);
  if (found == requestNumbers_.end()) {
    found = requestNumbers_.emplace(packet.requestId, ++lastRequestNumber_).first;
  }
  uint64_t number = found->second;
  if (packet.completion) requestNumbers_.erase(found);
  return number;
}

void UsbCaptureFile::packet(const UsbTrafficPacket& packet) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return;
  UsbTrafficPacket numbered = packet;
  numbered.requestId = requestNumber(packet);
  std::vector<UCHAR> body = usbPcapRecord(numbered);
  uint64_t time = base_ + packet.time;
  last_ = time;
  uint32_t kept = static_cast<uint32_t>(std::min<size_t>(body.size(), kSnapshotLength));
  std::vector<UCHAR> header;
  put32(header, static_cast<uint32_t>(time / kUnitsPerSecond));
  put32(header, static_cast<uint32_t>(time % kUnitsPerSecond * 100));
  put32(header, kept);
  put32(header, static_cast<uint32_t>(body.size()));
  write(header.data(), header.size());
  write(body.data(), kept);
  packets_++;
}

void UsbCaptureFile::write(const void* bytes, size_t length) {
  if (writeError_ == 0 && std::fwrite(bytes, 1, length, file_) != length)
    writeError_ = errno != 0 ? errno : EIO;
}

bool UsbCaptureFile::close(std::string& error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return true;
  if (std::fclose(file_) != 0 && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  if (writeError_ == 0) return true;
  error = path_ + ": " + std::strerror(writeError_);
  return false;
}

size_t UsbCaptureFile::packetsWritten() const {
  std::lock_guard<std::mutex> guard(lock_);
  return packets_;
}

}  // namespace nrv
