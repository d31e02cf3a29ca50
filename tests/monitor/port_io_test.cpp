// The monitor's port I/O on a real driver and printer: a job's writes, the
// stalled write given up after the limit its status byte chooses, reads with
// read-ahead, printer data during a job, and port deletion.
#include "port_io_machine.h"

namespace {

constexpr UCHAR kOut = 0x01;

class PortIo : public PortIoMachine {
 protected:
  void SetUp() override {
    printer = &plug("SN1");
    start();
    addQueue("Q1", "NRVUSB001:");
    port = openPort("NRVUSB001:");
    ASSERT_NE(port, nullptr);
  }
  void TearDown() override {
    if (port != nullptr) closePort(port);
  }

  // A job's write the printer never takes fails with the error after that long.
  void expectStalledWrite(DWORD expectedError, uint64_t milliseconds) {
    model(*printer).holdBulkTransfer(kOut, 1);
    ASSERT_TRUE(startDoc(port, "Q1"));
    uint64_t before = now();
    DWORD written = 0xDDDDDDDD;
    EXPECT_FALSE(write(port, "data", &written));
    EXPECT_EQ(error, expectedError);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(now() - before, milliseconds);
    endDoc(port);
  }

  nrv::UsbDevice* printer = nullptr;
  HANDLE port = nullptr;
};

TEST_F(PortIo, AJobWritesToThePrinterAndEnds) {
  ASSERT_TRUE(startDoc(port, "Q1"));
  DWORD written = 0;
  EXPECT_TRUE(write(port, "%!PS\nshowpage\n", &written));
  EXPECT_EQ(written, 14u);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(endDoc(port));
  std::vector<UCHAR> received = model(*printer).outData();
  EXPECT_EQ(std::string(received.begin(), received.end()), "%!PS\nshowpage\n");
  // With the job ended the device is closed: writing needs a new job.
  EXPECT_FALSE(write(port, "x", &written));
  EXPECT_EQ(error, 0u);
}

TEST_F(PortIo, WhatCannotStartAJob) {
  EXPECT_EQ(openPort("NRVUSB009:"), nullptr);
  EXPECT_EQ(error, 0xDDDDDDDDu) << "OpenPort sets no error";
  EXPECT_FALSE(startDoc(port, "No Such Queue"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  machine.usb().unplug(*printer);
  EXPECT_FALSE(startDoc(port, "Q1"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Restarting a job that was never ended closes what it held and pauses first.
TEST_F(PortIo, StartDocPortTwiceClosesTheFirstJobAndPauses) {
  ASSERT_TRUE(startDoc(port, "Q1", 1));
  uint64_t before = now();
  ASSERT_TRUE(startDoc(port, "Q1", 2));
  EXPECT_EQ(now() - before, 100u);
  EXPECT_TRUE(endDoc(port));
  EXPECT_TRUE(endDoc(port)) << "a second EndDocPort changes nothing";
}

TEST_F(PortIo, SetPortTimeOutsOnlyInAJobAndNotBelowItsLimits) {
  COMMTIMEOUTS timeouts{50, 0, 100, 0, 100};
  nrv::ProcessScope scope(*machine.spooler().process());
  EXPECT_FALSE(table.pfnSetPortTimeOuts(port, &timeouts, 0)) << "no job";
  ASSERT_TRUE(table.pfnStartDocPort(port, const_cast<LPSTR>("Q1"), 1, 1, nullptr));
  EXPECT_FALSE(table.pfnSetPortTimeOuts(port, &timeouts, 1)) << "reserved not 0";
  EXPECT_TRUE(table.pfnSetPortTimeOuts(port, &timeouts, 0));
  auto* entry = static_cast<PortEntry*>(port);
  EXPECT_EQ(entry->WriteTimeout, 500u);
  EXPECT_EQ(entry->ReadTimeout, 500u);
  EXPECT_EQ(entry->ReadIntervalTimeout, 100u);
  table.pfnEndDocPort(port);
}

// A write the printer never takes: the status byte read after each 3 s slice
// chooses the limit and, once it is passed, the error.
struct Stall {
  UCHAR status;
  DWORD error;
  uint64_t milliseconds;
};

class StalledWrite : public PortIo, public ::testing::WithParamInterface<Stall> {};

TEST_P(StalledWrite, EndsWithTheErrorOfTheStatusByteAfterItsLimit) {
  model(*printer).setPortStatus(GetParam().status);
  expectStalledWrite(GetParam().error, GetParam().milliseconds);
}

INSTANTIATE_TEST_SUITE_P(StatusTable, StalledWrite,
                         ::testing::Values(Stall{0x18, ERROR_COUNTER_TIMEOUT, 48000}, Stall{0x08, ERROR_NOT_READY, 18000},
                                           Stall{0x10, ERROR_IO_DEVICE, 48000}, Stall{0x38, ERROR_NOT_READY, 48000},
                                           Stall{0x20, ERROR_OUT_OF_PAPER, 18000},
                                           Stall{0x28, ERROR_OUT_OF_PAPER, 18000},
                                           Stall{0x30, ERROR_OUT_OF_PAPER, 48000}));

// Without a status byte the monitor takes 0xDF: selected, no error, paper
// present, so the selected printer's limit and the timeout error.
TEST_F(PortIo, AStallWhoseStatusRequestFailsEndsAsATimeout) {
  model(*printer).refuseStatusRequests();
  expectStalledWrite(ERROR_COUNTER_TIMEOUT, 48000);
}

// The status read after each slice chooses the limit: deselected 20 s into the
// stall, the 15 s not-selected limit has passed at the next slice's end.
TEST_F(PortIo, APrinterDeselectedDuringAStallSwitchesTheLimit) {
  machine.startThread("operator", [this] {
    machine.sleep(20000);
    model(*printer).setPortStatus(nrv::kPortStatusNoError);
  });
  expectStalledWrite(ERROR_NOT_READY, 21000);
  machine.joinThreads();
}

// The limit counts elapsed ticks, so a stall across the tick count's wrap still gets all of it.
TEST_F(PortIo, AStallAcrossTheTickCountsWrapKeepsItsLimit) {
  machine.setTickCountStart(0xFFFFFFFFu - 10000);
  expectStalledWrite(ERROR_COUNTER_TIMEOUT, 48000);
}

class UnlimitedRetry : public PortIo {
 protected:
  void SetUp() override {
    printer = &plug("SN1");
    start();
    addQueue("Q1", "NRVUSB001:", 0);
    port = openPort("NRVUSB001:");
  }
};

TEST_F(UnlimitedRetry, ASelectedPrinterIsWaitedForUntilTheWriteEnds) {
  model(*printer).delayBulkTransfer(kOut, 1, 200000);
  ASSERT_TRUE(startDoc(port, "Q1"));
  uint64_t before = now();
  DWORD written = 0;
  EXPECT_TRUE(write(port, "data", &written));
  EXPECT_EQ(written, 4u);
  EXPECT_GE(now() - before, 200000u);
  endDoc(port);
}

// A stalled pipe ends the write at once with nothing moved: the monitor resets
// the pipe, so the spooler's next try goes through.
TEST_F(PortIo, AWriteThatMovesNothingResetsThePipeForTheNextTry) {
  model(*printer).stallBulkTransfer(kOut, 1);
  ASSERT_TRUE(startDoc(port, "Q1"));
  DWORD written = 0xDDDDDDDD;
  EXPECT_TRUE(write(port, "data", &written));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(write(port, "data", &written));
  EXPECT_EQ(written, 4u);
  endDoc(port);
}

TEST_F(PortIo, ReadAheadKeepsWhatTheCallerCouldNotTake) {
  std::string reply(100, 'r');
  for (size_t i = 0; i < reply.size(); i++) reply[i] = static_cast<char>('0' + i % 10);
  model(*printer).queueInReply(std::vector<UCHAR>(reply.begin(), reply.end()));
  ASSERT_TRUE(startDoc(port, "Q1"));
  std::string data;
  EXPECT_TRUE(read(port, 10, &data));
  EXPECT_EQ(data, reply.substr(0, 10));
  size_t transfers = model(*printer).bulkLogSize();
  EXPECT_TRUE(read(port, 100, &data));
  EXPECT_EQ(data, reply.substr(10));
  EXPECT_EQ(model(*printer).bulkLogSize(), transfers) << "the rest came without touching the device";
  endDoc(port);
}

TEST_F(PortIo, PrinterDataDuringAJobOnly) {
  std::string output;
  EXPECT_FALSE(printerData(port, 17, &output));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "no device before the job";
  ASSERT_TRUE(startDoc(port, "Q1"));
  EXPECT_TRUE(printerData(port, 17, &output));
  EXPECT_EQ(output, "MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;");
  EXPECT_TRUE(printerData(port, 1280, &output));
  EXPECT_EQ(output, "(returned untouched)");
  EXPECT_FALSE(printerData(port, 0, &output));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  endDoc(port);
  EXPECT_FALSE(printerData(port, 17, &output));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(PortIo, DeletePortRefusesWhatIsUnknownConnectedOrBusy) {
  EXPECT_FALSE(deletePort("NRVUSB009:"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  EXPECT_FALSE(deletePort("nrvusb001:"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
  // A job whose restart found no printer still holds the record.
  ASSERT_TRUE(startDoc(port, "Q1"));
  machine.usb().unplug(*printer);
  EXPECT_FALSE(startDoc(port, "Q1"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  listedPorts();
  EXPECT_FALSE(deletePort("nrvusb001:"));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BUSY));
  endDoc(port);
  closePort(port);
  EXPECT_TRUE(deletePort("nrvusb001:"));
  port = nullptr;
  // Still registered with the driver's interface class, the port is back at the next scan.
  EXPECT_EQ(listedPorts(), 1u);
}

}  // namespace

// The cable pulled while a write waits: the write ends at once, the next one
// fails, and once the job has let the device go the port is not connected.
TEST_F(PortIo, TheCablePulledInTheMiddleOfAJob) {
  model(*printer).holdBulkTransfer(kOut, 1);
  ASSERT_TRUE(startDoc(port, "Q1"));
  machine.startThread("cable", [this] {
    machine.sleep(5000);
    machine.usb().unplug(*printer);
  });
  uint64_t before = now();
  DWORD written = 0xDDDDDDDD;
  write(port, "data", &written);
  EXPECT_EQ(written, 0u);
  EXPECT_LT(now() - before, 6000u);
  // The unplug has ended the write; the next one meets the removal done.
  machine.joinThreads();
  EXPECT_FALSE(write(port, "data", &written));
  EXPECT_TRUE(endDoc(port));
  EXPECT_EQ(listedPorts(), 1u);
  EXPECT_EQ(static_cast<PortEntry*>(port)->Flags & PORT_FLAG_CONNECTED, 0u);
  EXPECT_STREQ(static_cast<PortEntry*>(port)->Description, "USB Port Not Connected");
}

// A record whose read-ahead buffer could not be had reads into the caller's
// buffer, in whole packets.
class ReadWithoutBuffer : public PortIoMachine {
 protected:
  void SetUp() override {
    printer = &plug("SN1");
    // The scan's allocations: the device set, the record, its description, then
    // the record's read-ahead buffer.
    nrv::FaultInjector& faults = machine.faults();
    faults.failNth(nrv::FaultKind::UserAllocation, faults.requests(nrv::FaultKind::UserAllocation) + 4);
    start();
    addQueue("Q1", "NRVUSB001:");
    port = openPort("NRVUSB001:");
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(static_cast<PortEntry*>(port)->ReadBuffer, nullptr);
    ASSERT_TRUE(startDoc(port, "Q1"));
  }
  void TearDown() override { closePort(port); }

  nrv::UsbDevice* printer = nullptr;
  HANDLE port = nullptr;
};

TEST_F(ReadWithoutBuffer, LessThanAPacketReadsNothing) {
  std::string reply(200, 'r');
  model(*printer).queueInReply(std::vector<UCHAR>(reply.begin(), reply.end()));
  size_t transfers = model(*printer).bulkLogSize();
  std::string data;
  EXPECT_TRUE(read(port, 63, &data));
  EXPECT_EQ(data, "");
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(model(*printer).bulkLogSize(), transfers) << "the device was not asked";
  EXPECT_TRUE(read(port, 130, &data));
  EXPECT_EQ(data, std::string(128, 'r')) << "the device was asked for 128 bytes";
  EXPECT_TRUE(endDoc(port));
}
