// A capture file of a machine's USB traffic: the pcap format with the
// USBPcap link type, which Wireshark and tshark read. Each request is
// recorded going down and its completion coming back, as USBPcap records
// them on Windows; timestamps are the machine's clock, to 100 ns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "usb/usb_traffic.h"

namespace nrv {

// The record body USBPcap would write for a packet: its header, then the
// setup packet or the data.
std::vector<UCHAR> usbPcapRecord(const UsbTrafficPacket& packet);

class UsbCaptureFile : public UsbTrafficListener {
 public:
  UsbCaptureFile() = default;
  ~UsbCaptureFile() override;
  UsbCaptureFile(const UsbCaptureFile&) = delete;
  UsbCaptureFile& operator=(const UsbCaptureFile&) = delete;

  // Creates (or empties) the file and writes the capture header; false, with
  // the reason, when it cannot.
  bool open(const std::string& path, std::string& error);
  void packet(const UsbTrafficPacket& packet) override;
  // A restarted machine's packets are stamped after the last one written, so
  // the file's time keeps going forward.
  void clockRestarted() override;
  // Ends the file; false, with the reason, when a write failed.
  bool close(std::string& error);
  size_t packetsWritten() const;

 private:
  void write(const void* bytes, size_t length);
  // The request's number in this file: IRP addresses differ from run to run, numbers do not.
  uint64_t requestNumber(const UsbTrafficPacket& packet);

  mutable std::mutex lock_;
  std::string path_;
  FILE* file_ = nullptr;
  int writeError_ = 0;
  uint64_t base_ = 0;  // added to the machine's clock
  uint64_t last_ = 0;  // the last timestamp written
  size_t packets_ = 0;
  std::map<uint64_t, uint64_t> requestNumbers_;  // requests under way: IRP address -> number
  uint64_t lastRequestNumber_ = 0;
};

}  // namespace nrv
