// Bulk writes and reads through an open handle: how a request is cut into
// transfers, how it ends early, and that the printer gets exactly the bytes
// the write reports, unchanged and in order.
#include "printer_on_bus.h"

namespace {

constexpr UCHAR kOut = 0x01;
constexpr UCHAR kIn = 0x82;

std::vector<UCHAR> pattern(size_t length) {
  std::vector<UCHAR> data(length);
  for (size_t index = 0; index < length; index++) data[index] = static_cast<UCHAR>(index * 7 + index / 251);
  return data;
}

class BulkTransferTest : public PrinterOnBusTest {
 protected:
  void SetUp() override { bringUp({}); }

  void bringUp(nrv::PrinterConfig config) {
    printer = plugAndAdd(std::move(config));
    ASSERT_EQ(start(printer), STATUS_SUCCESS);
    file = open(u"");
  }

  PFILE_OBJECT open(const std::u16string& fileName) {
    PFILE_OBJECT opened = nullptr;
    EXPECT_EQ(machine.io().open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName),
                                fileName, &opened),
              STATUS_SUCCESS);
    return opened;
  }

  // Writes the data and checks that the printer received exactly the bytes the write reports.
  nrv::IrpOutcome write(const std::vector<UCHAR>& data, PFILE_OBJECT through = nullptr) {
    size_t before = model().outData().size();
    nrv::IrpOutcome outcome =
        machine.io().write(through ? through : file, data.data(), static_cast<ULONG>(data.size()));
    std::vector<UCHAR> received = model().outData();
    received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(received.size(), outcome.status.Information);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), data.begin())) << "bytes changed or reordered";
    return outcome;
  }

  std::vector<ULONG> transferSizes(UCHAR endpoint) {
    std::vector<ULONG> sizes;
    for (const nrv::BulkTransferRecord& record : model().bulkLog()) {
      if (record.endpoint == endpoint) sizes.push_back(record.requested);
    }
    return sizes;
  }

  nrv::UsbDeviceModel& model() { return printer.usb->model(); }

  AddedPrinter printer;
  PFILE_OBJECT file = nullptr;
};

TEST_F(BulkTransferTest, WritesGoOutInWindowsOfMaxTransferSize) {
  struct Case {
    size_t length;
    std::vector<ULONG> transfers;
  };
  const Case cases[] = {{150000, {65536, 65536, 18928}}, {65536, {65536}}, {65537, {65536, 1}}, {0, {}}};
  for (const Case& test : cases) {
    size_t logged = transferSizes(kOut).size();
    nrv::IrpOutcome outcome = write(pattern(test.length));
    EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS) << test.length;
    // Pending, or already finished when the dispatch routine looked: both are right.
    EXPECT_TRUE(outcome.returned == STATUS_PENDING || outcome.returned == STATUS_SUCCESS) << outcome.returned;
    EXPECT_EQ(outcome.status.Information, test.length);
    std::vector<ULONG> sizes = transferSizes(kOut);
    EXPECT_EQ(std::vector<ULONG>(sizes.begin() + static_cast<std::ptrdiff_t>(logged), sizes.end()),
              test.transfers)
        << test.length;
  }
  machine.sleep(1);  // the last completion routine gives its count back after completing the write
  EXPECT_EQ(printer.extension()->IoCount, 1);
  EXPECT_EQ(printer.extension()->WriteContext, nullptr);
}

TEST_F(BulkTransferTest, MaxTransferSizeZeroSendsTheWholeWriteAtOnce) {
  printer.extension()->MaxTransferSize = 0;
  EXPECT_EQ(write(pattern(300000)).status.Information, 300000u);
  EXPECT_EQ(transferSizes(kOut), std::vector<ULONG>{300000});
}

TEST_F(BulkTransferTest, AStallEndsTheWriteWithTheBytesBeforeIt) {
  model().stallBulkTransfer(kOut, 2);
  nrv::IrpOutcome outcome = write(pattern(150000));
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 65536u);
  EXPECT_EQ(transferSizes(kOut).size(), 2u) << "the third transfer must not be sent";

  // The pipe stays halted until reset: the next write moves nothing.
  EXPECT_EQ(write(pattern(10)).status.Information, 0u);
}

TEST_F(BulkTransferTest, AFailedTransferCountsTheBytesItReports) {
  model().failBulkTransfer(kOut, 2, USBD_STATUS_DEV_NOT_RESPONDING, 1000);
  nrv::IrpOutcome outcome = write(pattern(150000));
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 65536u + 1000u);
}

// The bus fails the carrying request before the device sees the transfer and
// leaves the URB as it was submitted: its length is only what was asked for.
TEST_F(BulkTransferTest, ATransferWhoseRequestFailedCountsNoBytesAndEndsTheWrite) {
  model().failBulkRequest(kOut, 2, STATUS_DEVICE_NOT_CONNECTED);
  nrv::IrpOutcome outcome = write(pattern(150000));
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 65536u);
  EXPECT_EQ(transferSizes(kOut), std::vector<ULONG>{65536}) << "only the first transfer reached the printer";
}

TEST_F(BulkTransferTest, AShortReplyEndsTheReadAndAFullOneAsksForMore) {
  std::vector<UCHAR> buffer(131072);
  model().queueInReply(pattern(100));
  nrv::IrpOutcome shortRead = machine.io().read(file, buffer.data(), 4096);
  EXPECT_EQ(shortRead.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(shortRead.status.Information, 100u);
  EXPECT_EQ(transferSizes(kIn), std::vector<ULONG>{4096});

  std::vector<UCHAR> reply = pattern(131072);
  model().queueInReply(reply);
  nrv::IrpOutcome longRead = machine.io().read(file, buffer.data(), 131072);
  EXPECT_EQ(longRead.status.Information, 131072u);
  EXPECT_EQ(buffer, reply);
  EXPECT_EQ(transferSizes(kIn), (std::vector<ULONG>{4096, 65536, 65536}));
}

TEST_F(BulkTransferTest, AHandleBoundToTheOtherDirectionUsesTheFirstBulkPipeOfTheRightOne) {
  PFILE_OBJECT inPipe = open(u"\\1");
  EXPECT_EQ(write(pattern(10), inPipe).status.Information, 10u);
  EXPECT_EQ(transferSizes(kOut).size(), 1u);

  PFILE_OBJECT outPipe = open(u"\\0");
  model().queueInReply(pattern(5));
  std::vector<UCHAR> buffer(64);
  EXPECT_EQ(machine.io().read(outPipe, buffer.data(), 64).status.Information, 5u);
  EXPECT_EQ(transferSizes(kIn).size(), 1u);
}

TEST_F(BulkTransferTest, RequestsTheDeviceCannotServeEndBeforeAnyTraffic) {
  printer.extension()->StopPending = TRUE;
  std::vector<UCHAR> buffer(16);
  EXPECT_EQ(machine.io().write(file, buffer.data(), 16).status.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(machine.io().read(file, buffer.data(), 16).status.Status, STATUS_DELETE_PENDING);
  printer.extension()->StopPending = FALSE;
  EXPECT_TRUE(model().bulkLog().empty());
}

TEST_F(BulkTransferTest, AWriteWhileAnotherRunsIsRefusedAndLeavesTheFirstIntact) {
  model().delayBulkTransfer(kOut, 1, 50);
  std::vector<UCHAR> first = pattern(100000);
  std::unique_ptr<nrv::PendingRequest> running = machine.io().startWrite(file, first.data(), 100000);
  std::vector<UCHAR> second = pattern(10);
  EXPECT_EQ(machine.io().write(file, second.data(), 10).status.Status, STATUS_DEVICE_BUSY);
  ASSERT_TRUE(running->wait());
  EXPECT_EQ(running->status().Information, 100000u);
  EXPECT_EQ(model().outData(), first);
}

TEST_F(BulkTransferTest, AFailedFirstHandDownResetsTheDisabledPortAndCompletesTheRequest) {
  printer.usb->disablePort();
  nrv::IrpOutcome outcome = write(pattern(100));
  EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 0u);
  EXPECT_EQ(printer.usb->portResets(), 1u)
      << "a failed pipe reset on a connected, disabled port resets the port";
  EXPECT_EQ(write(pattern(100)).status.Information, 100u);
}

TEST(BulkTransferPipes, AnInterfaceWithoutABulkOutPipeRefusesWrites) {
  nrv::UsbInterfaceDescription interface = nrv::printerInterface();
  interface.endpoints.erase(interface.endpoints.begin());
  PrinterBench bench;
  AddedPrinter printer = bench.plugAndAdd(printerWith({interface}));
  ASSERT_EQ(bench.start(printer), STATUS_SUCCESS);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(bench.machine.io().open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName),
                                    u"\\0", &file),
            STATUS_SUCCESS);
  UCHAR byte = 0;
  EXPECT_EQ(bench.machine.io().write(file, &byte, 1).status.Status, STATUS_INVALID_HANDLE);
}

TEST_F(BulkTransferTest, CancelEndsTheRunningRequestsWithTheBytesMovedAndWaitsForThem) {
  EXPECT_FALSE(PLMUSB_CancelPendingIo(printer.fdo)) << "nothing runs";

  model().holdBulkTransfer(kOut, 2);
  std::vector<UCHAR> data = pattern(150000);
  std::unique_ptr<nrv::PendingRequest> writing = machine.io().startWrite(file, data.data(), 150000);
  std::vector<UCHAR> buffer(512);
  std::unique_ptr<nrv::PendingRequest> reading = machine.io().startRead(file, buffer.data(), 512);
  machine.sleep(100);  // the first 64 KiB take 54 ms at full speed; the second transfer is held
  ASSERT_FALSE(writing->completed());

  EXPECT_TRUE(PLMUSB_CancelPendingIo(printer.fdo));
  EXPECT_TRUE(writing->completed()) << "the cancel returns once the request is finished";
  EXPECT_TRUE(reading->completed());
  EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(writing->status().Information, 65536u);
  EXPECT_EQ(reading->status().Information, 0u);
  machine.sleep(1);
  EXPECT_EQ(printer.extension()->IoCount, 1);
}

// A cancel that lands while the bus is already completing a transfer finds no
// transfer to end; it only marks the carrying request. A bus that does not look
// at that mark when the next transfer arrives would hold the next transfer,
// and the cancel would wait for ever: the completion must not start it.
TEST_F(BulkTransferTest, ACancelBetweenTwoTransfersEndsTheRequest) {
  machine.usb().checkCancelFlagAtSubmission(false);
  nrv::UsbDevice* usb = printer.usb;
  PIRP first = nullptr;
  PURB firstUrb = nullptr;
  // The bus takes the first transfer out of reach of cancels, as it does when it completes one.
  usb->physical().setHandler([usb, &first, &firstUrb](PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (first != nullptr || stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      return usb->dispatch(irp);
    }
    IoMarkIrpPending(irp);
    first = irp;
    firstUrb = urb;
    return STATUS_PENDING;
  });
  model().holdBulkTransfer(kOut, 1);  // the next transfer, were it sent, would never end by itself
  std::vector<UCHAR> data = pattern(150000);
  std::unique_ptr<nrv::PendingRequest> writing = machine.io().startWrite(file, data.data(), 150000);
  ASSERT_NE(first, nullptr);

  bool cancelReturned = false;
  machine.startThread("cancel", [this, &cancelReturned] {
    PLMUSB_CancelPendingIo(printer.fdo);
    cancelReturned = true;
  });
  // IoCancelIrp sets the flag from the cancelling thread.
  auto cancelMarked = [first] { return __atomic_load_n(&first->Cancel, __ATOMIC_ACQUIRE) != FALSE; };
  for (int tries = 0; tries < 100 && !cancelMarked(); tries++) machine.sleep(1);
  ASSERT_TRUE(cancelMarked());

  // The first transfer ends well, with the cancel already marked on its request.
  firstUrb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  first->IoStatus.Status = STATUS_SUCCESS;
  KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  IoCompleteRequest(first, IO_NO_INCREMENT);
  KfLowerIrql(irql);

  machine.joinThreads();
  EXPECT_TRUE(cancelReturned);
  ASSERT_TRUE(writing->completed());
  EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(writing->status().Information, 65536u);
  EXPECT_TRUE(model().bulkLog().empty()) << "no second transfer was started";
  machine.sleep(1);
  EXPECT_EQ(printer.extension()->IoCount, 1);
}

TEST_F(BulkTransferTest, AbortReachesOnlyPipesOpenedByNumber) {
  EXPECT_EQ(PLMUSB_AbortPipes(printer.fdo), STATUS_SUCCESS);
  PFILE_OBJECT numbered = open(u"\\1");
  std::vector<UCHAR> buffer(64);
  std::unique_ptr<nrv::PendingRequest> reading = machine.io().startRead(numbered, buffer.data(), 64);
  machine.sleep(1);
  EXPECT_EQ(PLMUSB_AbortPipes(printer.fdo), STATUS_SUCCESS);
  ASSERT_TRUE(reading->wait());
  EXPECT_EQ(reading->status().Information, 0u);
  EXPECT_EQ(printer.extension()->InterfaceInfo->Pipes[1].PipeFlags, 0u);
}

}  // namespace
