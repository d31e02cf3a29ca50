// Capture files: the pcap header with the USBPcap link type, each record's
// USBPcap header as Wireshark reads it, timestamps from the machine's clock
// that keep going forward across restarts, and request numbers that do not
// change from run to run.
#include "usb/usb_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using Bytes = std::vector<UCHAR>;

uint32_t read32(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
uint16_t read16(const Bytes& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

nrv::UsbTrafficPacket bulkOut(uint64_t time, uint64_t irp, const Bytes& data, bool completion) {
  nrv::UsbTrafficPacket packet;
  packet.time = time;
  packet.requestId = irp;
  packet.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  packet.completion = completion;
  packet.bus = 1;
  packet.device = 3;
  packet.endpoint = 0x01;
  packet.transfer = nrv::UsbTransferKind::Bulk;
  if (!completion) {
    packet.data = data.data();
    packet.length = data.size();
  }
  return packet;
}

TEST(UsbCapture, RecordsCarryTheUsbPcapHeaderThenTheSetupPacketOrTheData) {
  nrv::UsbTrafficPacket setup;
  setup.requestId = 0x1122334455667788;
  setup.function = URB_FUNCTION_CLASS_INTERFACE;
  setup.bus = 1;
  setup.device = 2;
  setup.endpoint = 0x80;
  setup.setup = {0xA1, 0, 0, 0, 0, 0, 0, 4};
  Bytes record = nrv::usbPcapRecord(setup);
  ASSERT_EQ(record.size(), 28u + 8u);
  EXPECT_EQ(read16(record, 0), 28) << "a control record's header holds its stage";
  EXPECT_EQ(read32(record, 2), 0x55667788u);
  EXPECT_EQ(read32(record, 6), 0x11223344u);
  EXPECT_EQ(read16(record, 14), URB_FUNCTION_CLASS_INTERFACE);
  EXPECT_EQ(record[16], 0) << "going down";
  EXPECT_EQ(read16(record, 17), 1);
  EXPECT_EQ(read16(record, 19), 2);
  EXPECT_EQ(record[21], 0x80);
  EXPECT_EQ(record[22], 2) << "control";
  EXPECT_EQ(read32(record, 23), 8u);
  EXPECT_EQ(record[27], 0) << "the setup stage";
  EXPECT_EQ(Bytes(record.begin() + 28, record.end()), Bytes(setup.setup.begin(), setup.setup.end()));

  Bytes reply{'O', 'K'};
  nrv::UsbTrafficPacket done = bulkOut(0, 7, {}, true);
  done.endpoint = 0x82;
  done.status = USBD_STATUS_STALL_PID;
  done.data = reply.data();
  done.length = reply.size();
  record = nrv::usbPcapRecord(done);
  ASSERT_EQ(record.size(), 27u + 2u);
  EXPECT_EQ(read16(record, 0), 27);
  EXPECT_EQ(read32(record, 10), static_cast<uint32_t>(USBD_STATUS_STALL_PID));
  EXPECT_EQ(record[16], 1) << "coming back";
  EXPECT_EQ(record[22], 3) << "bulk";
  EXPECT_EQ(Bytes(record.begin() + 27, record.end()), reply);
}

class CaptureFile : public ::testing::Test {
 protected:
  Bytes contents() {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  std::string path = (std::filesystem::temp_directory_path() /
                      ("nrv_capture_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                       "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap"))
                         .string();
  ~CaptureFile() override { std::filesystem::remove(path); }
};

TEST_F(CaptureFile, StampsPacketsWithTheClockAcrossRestartsAndNumbersRequests) {
  Bytes data{1, 2, 3};
  {
    nrv::UsbCaptureFile capture;
    std::string error;
    ASSERT_TRUE(capture.open(path, error)) << error;
    capture.packet(bulkOut(12345678, 0xAAAA, data, false));  // 1.2345678 s
    capture.packet(bulkOut(12355678, 0xAAAA, data, true));
    capture.clockRestarted();
    capture.packet(bulkOut(5, 0xAAAA, data, false));  // the same IRP address, a new request
    EXPECT_EQ(capture.packetsWritten(), 3u);
    ASSERT_TRUE(capture.close(error)) << error;
  }
  Bytes file = contents();
  ASSERT_GE(file.size(), 24u);
  EXPECT_EQ(read32(file, 0), 0xA1B23C4Du) << "pcap with nanosecond timestamps";
  EXPECT_EQ(read16(file, 4), 2);
  EXPECT_EQ(read16(file, 6), 4);
  EXPECT_EQ(read32(file, 20), 249u) << "LINKTYPE_USBPCAP";
  size_t at = 24;
  std::vector<std::pair<uint64_t, uint64_t>> stamps;  // nanoseconds, request number
  while (at < file.size()) {
    uint32_t kept = read32(file, at + 8);
    EXPECT_EQ(kept, read32(file, at + 12));
    stamps.emplace_back(uint64_t{read32(file, at)} * 1000000000 + read32(file, at + 4),
                        read32(file, at + 16 + 2));
    at += 16 + kept;
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(stamps, (std::vector<std::pair<uint64_t, uint64_t>>{
                        {1234567800, 1}, {1235567800, 1}, {1235567800 + 500, 2}}));
}

TEST_F(CaptureFile, CutsRecordsLongerThanItsSnapshotLength) {
  Bytes data(0x50000, 0x5A);
  nrv::UsbCaptureFile capture;
  std::string error;
  ASSERT_TRUE(capture.open(path, error)) << error;
  capture.packet(bulkOut(0, 1, data, false));
  ASSERT_TRUE(capture.close(error)) << error;
  Bytes file = contents();
  uint32_t snapshot = read32(file, 16);
  EXPECT_EQ(read32(file, 24 + 8), snapshot);
  EXPECT_EQ(read32(file, 24 + 12), 27u + data.size());
  EXPECT_EQ(file.size(), 24u + 16u + snapshot);
}

TEST(UsbCaptureErrors, NameTheFileAndTheReason) {
  nrv::UsbCaptureFile unopened;
  std::string error;
  std::string folder = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(unopened.open(folder, error));
  EXPECT_NE(error.find(folder), std::string::npos) << error;
  EXPECT_NE(error.find("directory"), std::string::npos) << error;

  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
  nrv::UsbCaptureFile full;
  ASSERT_TRUE(full.open("/dev/full", error)) << error;
  Bytes data(100000, 1);
  full.packet(bulkOut(0, 1, data, false));
  EXPECT_FALSE(full.close(error));
  EXPECT_NE(error.find("No space left"), std::string::npos) << error;
}

}  // namespace
