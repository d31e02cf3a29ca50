// The bulk path under pressure: every allocation of a multi-transfer write
// failing in turn, and cancels racing with the transfers and the finish of
// the request they cancel. Each run ends on a machine that checks for leaks.
#include "printer_on_bus.h"

namespace {

constexpr UCHAR kOut = 0x01;
constexpr ULONG kLength = 150000;  // three transfers

struct WriteRun {
  nrv::IrpOutcome outcome{};
  std::vector<UCHAR> received;
  uint64_t requests = 0;  // requests of the fault kind made by the write
};

std::vector<UCHAR> pattern() {
  std::vector<UCHAR> data(kLength);
  for (size_t index = 0; index < data.size(); index++) data[index] = static_cast<UCHAR>(index ^ (index >> 9));
  return data;
}

PFILE_OBJECT openPrinter(PrinterBench& bench, const AddedPrinter& printer) {
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(bench.machine.io().open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName), u"",
                                    &file),
            STATUS_SUCCESS);
  return file;
}

// Writes on a fresh machine; the nth request of the kind made by the write fails when n > 0.
WriteRun writeWithFault(nrv::FaultKind kind, uint64_t nth, const std::vector<UCHAR>& data) {
  PrinterBench bench;
  AddedPrinter printer = bench.plugAndAdd();
  EXPECT_EQ(bench.start(printer), STATUS_SUCCESS);
  PFILE_OBJECT file = openPrinter(bench, printer);
  nrv::FaultInjector& faults = bench.machine.faults();
  uint64_t before = faults.requests(kind);
  if (nth != 0) faults.failNth(kind, before + nth);
  WriteRun run;
  run.outcome = bench.machine.io().write(file, data.data(), kLength);
  run.requests = faults.requests(kind) - before;
  faults.clear();
  run.received = printer.usb->model().outData();
  return run;
}

void sweep(nrv::FaultKind kind) {
  std::vector<UCHAR> data = pattern();
  WriteRun clean = writeWithFault(kind, 0, data);
  ASSERT_EQ(clean.outcome.status.Information, kLength);
  ASSERT_GT(clean.requests, 0u);
  for (uint64_t nth = 1; nth <= clean.requests; nth++) {
    WriteRun run = writeWithFault(kind, nth, data);
    NTSTATUS status = run.outcome.status.Status;
    SCOPED_TRACE(std::string(nrv::faultKindName(kind)) + " #" + std::to_string(nth));
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
    EXPECT_EQ(run.received.size(), run.outcome.status.Information);
    EXPECT_TRUE(std::equal(run.received.begin(), run.received.end(), data.begin()));
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      EXPECT_TRUE(run.received.empty());
    }
  }
}

TEST(BulkWriteUnderLowResources, EveryPoolAllocationFailingInTurn) { sweep(nrv::FaultKind::Pool); }

TEST(BulkWriteUnderLowResources, EveryRequestAllocationFailingInTurn) { sweep(nrv::FaultKind::Irp); }

TEST(BulkWriteUnderLowResources, EveryMdlAllocationFailingInTurn) { sweep(nrv::FaultKind::Mdl); }

// A cancel lands before, between and after the transfers of a write, and at
// the very moment the last one finishes; two cancels may run at once. The
// write always ends with the bytes the printer got, and nothing is freed twice
// or left behind. (Each bench's remove waits for the request count to reach 0.)
TEST(BulkCancelRace, CancelsRacingTheTransfersAndTheFinish) {
  std::vector<UCHAR> data = pattern();
  for (uint64_t cancelAt = 0; cancelAt <= 32; cancelAt++) {
    SCOPED_TRACE("cancel at " + std::to_string(cancelAt) + " ms");
    PrinterBench bench;
    AddedPrinter printer = bench.plugAndAdd();
    ASSERT_EQ(bench.start(printer), STATUS_SUCCESS);
    PFILE_OBJECT file = openPrinter(bench, printer);
    nrv::UsbDeviceModel& model = printer.usb->model();
    for (unsigned nth = 1; nth <= 3; nth++) model.delayBulkTransfer(kOut, nth, 10);

    std::unique_ptr<nrv::PendingRequest> writing = bench.machine.io().startWrite(file, data.data(), kLength);
    for (int canceller = 0; canceller < 2; canceller++) {
      bench.machine.startThread("canceller", [&bench, &printer, cancelAt] {
        bench.machine.sleep(cancelAt);
        PLMUSB_CancelPendingIo(printer.fdo);
      });
    }
    ASSERT_TRUE(writing->wait());
    bench.machine.joinThreads();
    std::vector<UCHAR> received = model.outData();
    EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
    EXPECT_EQ(received.size(), writing->status().Information);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin()));
    EXPECT_EQ(printer.extension()->WriteContext, nullptr);
  }
}

}  // namespace
