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

}  // namespace
