// Documents printed as spooler jobs through NRVUSBMN and NRVUSB: the bytes
// reach the printer at the link's and the printer's pace, and a printer that
// runs out of paper puts the job in error with the right error at the right
// moment, to print again once the paper is back and the job is retried.
#include "port_io_machine.h"
#include "user/print_job.h"

namespace {

using nrv::JobState;

class SpoolerJob : public PortIoMachine {
 protected:
  void SetUp() override {
    printer = &plug("SN1");
    start();
    addQueue("Q1", "NRVUSB001:");
  }

  std::shared_ptr<nrv::PrintJob> submit(size_t size) {
    document.resize(size);
    for (size_t i = 0; i < size; i++) document[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return machine.spooler().submitJob("Q1", "doc", nrv::documentOf(document));
  }
  std::vector<uint8_t> received() {
    std::vector<UCHAR> data = model(*printer).outData();
    return std::vector<uint8_t>(data.begin(), data.end());
  }

  nrv::UsbDevice* printer = nullptr;
  std::vector<uint8_t> document;
};

TEST_F(SpoolerJob, ADocumentReachesThePrinterInTime) {
  uint64_t before = now();
  std::shared_ptr<nrv::PrintJob> job = submit(150000);
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Done);
  EXPECT_EQ(received(), document);
  // The link moves 1216 bytes a millisecond at full speed; the printer prints 1024.
  EXPECT_GE(now() - before, 150000u / 1216);
  size_t starts = 0, writes = 0, ends = 0;
  for (const nrv::JobEvent& event : job->events()) {
    starts += event.kind == nrv::JobEventKind::StartDocPort;
    writes += event.kind == nrv::JobEventKind::WritePort;
    ends += event.kind == nrv::JobEventKind::EndDocPort;
  }
  EXPECT_EQ(starts, 1u);
  EXPECT_GE(writes, (150000u + 4095) / 4096) << "the spooler hands the port 4 KiB pieces";
  EXPECT_EQ(ends, 1u);
}

// Out of paper (0x30: paper empty, selected, an error) the printer stops
// taking data; once the write has stalled for the retry timeout the job is in
// error with ERROR_OUT_OF_PAPER. With paper back a retry prints it whole.
TEST_F(SpoolerJob, OutOfPaperMidJobThenRetried) {
  machine.startThread("paper", [this] {
    machine.sleep(20);
    model(*printer).setPortStatus(0x30);
  });
  std::shared_ptr<nrv::PrintJob> job = submit(300000);
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Error);
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_OUT_OF_PAPER));
  // A 3 s slice, then the 45 s retry timeout, after the paper ran out.
  EXPECT_GE(now(), 48000u);
  EXPECT_LT(now(), 52000u);
  machine.joinThreads();
  model(*printer).setPortStatus(0x18);
  ASSERT_TRUE(machine.spooler().retryJob(*job));
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Done);
  std::vector<uint8_t> got = received();
  // The retry starts the document again: its end is the whole document.
  ASSERT_GE(got.size(), document.size());
  EXPECT_TRUE(std::equal(document.begin(), document.end(), got.end() - static_cast<long>(document.size())));
}

// An OUT endpoint that stalls at a job's first transfer: WritePort resets the
// pipe and says it took nothing, the spooler pauses and sends the bytes again,
// and the job goes on to the end with every byte once.
TEST_F(SpoolerJob, AStallAtTheFirstTransferIsResetAndTheJobGoesOn) {
  model(*printer).stallBulkTransfer(0x01, 1);
  std::shared_ptr<nrv::PrintJob> job = submit(20000);
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Done);
  EXPECT_EQ(received(), document);
}

// A printer that stalls every transfer: each write moves nothing, and the
// spooler pauses between them, so the job ends in error once the retry timeout
// passes, after a bounded number of writes.
TEST_F(SpoolerJob, AnEndpointThatKeepsStallingEndsTheJobWithoutSpinning) {
  addQueue("Q2", "NRVUSB001:", 2000);
  for (unsigned transfer = 1; transfer <= 100; transfer++) model(*printer).stallBulkTransfer(0x01, transfer);
  uint64_t before = now();
  document.assign(100, 'x');
  std::shared_ptr<nrv::PrintJob> job = machine.spooler().submitJob("Q2", "doc", nrv::documentOf(document));
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Error);
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_GE(now() - before, 2000u);
  EXPECT_LT(now() - before, 2500u);
  size_t writes = 0;
  for (const nrv::JobEvent& event : job->events()) writes += event.kind == nrv::JobEventKind::WritePort;
  EXPECT_LE(writes, 2000u / nrv::Spooler::kStallPauseMilliseconds + 2);
  EXPECT_TRUE(received().empty());
  EXPECT_TRUE(machine.spooler().cancelJob(*job));
}

// Two printers on two ports print at the same time, each on a spooler thread
// of its own: both jobs take about as long as one.
TEST_F(SpoolerJob, TwoPrintersPrintAtTheSameTime) {
  nrv::UsbDevice& second = plug("SN2");
  addQueue("Q2", "NRVUSB002:");
  std::vector<uint8_t> other(150000, 0x5A);
  uint64_t before = now();
  std::shared_ptr<nrv::PrintJob> first = submit(150000);
  std::shared_ptr<nrv::PrintJob> next = machine.spooler().submitJob("Q2", "other", nrv::documentOf(other));
  EXPECT_EQ(machine.spooler().waitForJob(*first), JobState::Done);
  EXPECT_EQ(machine.spooler().waitForJob(*next), JobState::Done);
  EXPECT_LT(now() - before, 2 * 140u) << "one job alone takes about 147 ms";
  EXPECT_EQ(received(), document);
  std::vector<UCHAR> got = model(second).outData();
  EXPECT_TRUE(std::equal(got.begin(), got.end(), other.begin(), other.end()));
}

// The cable pulled in the middle of a job: the write in progress ends, and the
// next one fails at once, which leaves the monitor's wait unsignalled as
// Windows leaves it, so the job is in error after one stall limit (bounded, no
// hang); once it is cancelled the port is listed as not connected.
TEST_F(SpoolerJob, TheCablePulledMidJobEndsItInError) {
  std::vector<uint8_t> got;
  machine.startThread("cable", [this, &got] {
    machine.sleep(50);
    got = received();  // the device goes with its last handle, which the monitor may close
    machine.usb().unplug(*printer);
  });
  std::shared_ptr<nrv::PrintJob> job = submit(300000);
  EXPECT_EQ(machine.spooler().waitForJob(*job), JobState::Error);
  EXPECT_LT(now(), 50u + 48000u + 1000u);
  machine.joinThreads();
  EXPECT_FALSE(got.empty());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), document.begin())) << "what arrived is the document's start";
  EXPECT_TRUE(machine.spooler().cancelJob(*job));
  std::vector<nrv::PortRecord> ports = machine.spooler().ports();
  auto port = std::find_if(ports.begin(), ports.end(),
                           [](const nrv::PortRecord& record) { return record.name == "NRVUSB001:"; });
  ASSERT_NE(port, ports.end());
  EXPECT_EQ(port->description, "USB Port Not Connected");
}

// With no retry limit, a job on a printer out of paper waits for ever. The
// machine's shutdown waits for it as long as Windows waits for a service to
// stop, then the power goes with the printers: the write ends, the job is
// cancelled and the machine stops clean.
TEST(SpoolerJobAtShutdown, AJobThePrinterNeverTakesEndsWhenThePowerGoes) {
  std::shared_ptr<nrv::PrintJob> job;
  {
    PortIoBench bench;
    nrv::UsbDevice& printer = bench.plug("SN1");
    bench.start();
    bench.addQueue("Q1", "NRVUSB001:", 0);
    bench.model(printer).setPortStatus(0x30);
    job = bench.machine.spooler().submitJob("Q1", "doc", nrv::documentOf(std::vector<uint8_t>(300000, 'x')));
    EXPECT_EQ(bench.machine.spooler().waitForJob(*job, 10000), JobState::Printing);
  }
  EXPECT_EQ(job->state(), JobState::Cancelled);
  std::vector<nrv::JobEvent> events = job->events();
  ASSERT_FALSE(events.empty());
  EXPECT_GE(events.back().time, 10000u + nrv::Spooler::kStopWaitMilliseconds);
}

}  // namespace
