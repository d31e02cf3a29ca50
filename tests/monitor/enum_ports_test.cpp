// EnumPorts: the buffer arithmetic the spooler relies on. Structures from the
// start, strings from the end, the needed size exact at both levels, and
// nothing written by a call that fails.
#include <winspool.h>

#include <algorithm>

#include "monitor_machine.h"

namespace {

constexpr DWORD kUntouched = 0xDDDDDDDD;

bool untouched(const std::vector<uint8_t>& buffer) {
  return std::all_of(buffer.begin(), buffer.end(), [](uint8_t byte) { return byte == 0xEE; });
}

class EnumPorts : public MonitorMachine {
 protected:
  void SetUp() override {
    plug("MFG:ABC;MDL:P100;DES:ABC P100 Laser;", "SN1");
    plug("MFG:ABC;MDL:P200;", "SN2");
    startMonitor();
  }
};

TEST_F(EnumPorts, ABufferExactlyAsLargeAsNeededSucceedsAndOneByteLessFails) {
  for (DWORD level : {1u, 2u}) {
    SCOPED_TRACE(level);
    PortListing sizing = enumPorts(level, 0);
    EXPECT_FALSE(sizing.result);
    EXPECT_EQ(sizing.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sizing.returned, kUntouched);
    const DWORD needed = sizing.needed;
    ASSERT_GT(needed, 0u);

    PortListing short_ = enumPorts(level, needed - 1);
    EXPECT_FALSE(short_.result);
    EXPECT_EQ(short_.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(short_.needed, needed);
    EXPECT_EQ(short_.returned, kUntouched);
    EXPECT_TRUE(untouched(short_.buffer)) << "a call that fails writes nothing";

    PortListing exact = enumPorts(level, needed);
    EXPECT_TRUE(exact.result);
    EXPECT_EQ(exact.needed, needed);
    EXPECT_EQ(exact.returned, 2u);
    std::vector<nrv::PortRecord> records;
    std::string wrong;
    EXPECT_TRUE(nrv::readPortInfo(level, exact.buffer.data(), needed, exact.returned, &records, &wrong)) << wrong;
    EXPECT_EQ(nrv::portInfoSize(level, records), needed) << "every byte of the buffer is used";
  }
}

TEST_F(EnumPorts, LevelTwoNamesTheMonitorAndDescribesEachPrinter) {
  std::vector<nrv::PortRecord> records = ports();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "NRVUSB001:");
  EXPECT_EQ(records[0].description, "ABC P100 Laser");
  EXPECT_EQ(records[1].name, "NRVUSB002:");
  EXPECT_EQ(records[1].description, "P200");
  for (const nrv::PortRecord& record : records) {
    EXPECT_EQ(record.monitor, kMonitorName);
    EXPECT_EQ(record.type, static_cast<DWORD>(PORT_TYPE_WRITE | PORT_TYPE_READ));
  }
}

// The first record's strings are written first, at the very end of the buffer:
// its port name highest, then the monitor name, then the description.
TEST_F(EnumPorts, StringsArePackedDownwardFromTheEndInFieldOrder) {
  DWORD needed = enumPorts(2, 0).needed;
  PortListing listing = enumPorts(2, needed);
  ASSERT_TRUE(listing.result);
  auto* first = reinterpret_cast<PORT_INFO_2A*>(listing.buffer.data());
  const char* end = reinterpret_cast<const char*>(listing.buffer.data()) + needed;
  EXPECT_EQ(first->pPortName, end - sizeof("NRVUSB001:"));
  EXPECT_EQ(first->pMonitorName, first->pPortName - sizeof(kMonitorName));
  EXPECT_EQ(first->pDescription, first->pMonitorName - sizeof("ABC P100 Laser"));
  EXPECT_EQ(first->Reserved, 0u);
}

TEST_F(EnumPorts, LevelZeroCountsThePortsAndWritesNothing) {
  PortListing listing = enumPorts(0, 64);
  EXPECT_TRUE(listing.result);
  EXPECT_EQ(listing.needed, 0u);
  EXPECT_EQ(listing.returned, 2u);
  EXPECT_TRUE(untouched(listing.buffer));
}

TEST_F(EnumPorts, LevelThreeIsRefusedWithoutTouchingTheCounts) {
  PortListing listing = enumPorts(3, 64);
  EXPECT_FALSE(listing.result);
  EXPECT_EQ(listing.error, static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_EQ(listing.needed, kUntouched);
  EXPECT_EQ(listing.returned, kUntouched);
  EXPECT_TRUE(untouched(listing.buffer));
}

using NoPrinters = MonitorMachine;

TEST_F(NoPrinters, ListNoPortsInAnEmptyBuffer) {
  startMonitor();
  for (DWORD level : {0u, 1u, 2u}) {
    PortListing listing = enumPorts(level, 0);
    EXPECT_TRUE(listing.result) << level;
    EXPECT_EQ(listing.needed, 0u) << level;
    EXPECT_EQ(listing.returned, 0u) << level;
  }
}

}  // namespace
