// The bulk data path of the USB bus: transfers pend and the bus thread ends
// them as the simulated printer answers, on the virtual clock, with its
// scripted faults; cancel, reset pipe, abort pipe and unplug end them early.
#include "usb_bulk_fixture.h"

namespace {

using namespace usb_bulk;

class UsbBulk : public UsbBulkFixture {};

TEST_F(UsbBulk, OutTransfersReachTheSinkFromBufferOrMdlWindow) {
  Bytes data = pattern(300);
  PMDL whole = IoAllocateMdl(data.data(), 300, FALSE, FALSE, nullptr);
  PMDL window = IoAllocateMdl(data.data(), 300, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(whole, window, data.data() + 100, 150);
  auto first = bulk(out, nullptr, window, MmGetMdlByteCount(window));
  auto second = bulk(out, data.data(), nullptr, 20);
  first->request->wait();
  second->request->wait();
  IoFreeMdl(window);
  IoFreeMdl(whole);

  EXPECT_EQ(first->status(), STATUS_SUCCESS);
  EXPECT_EQ(first->usbd(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(first->moved(), 150u);
  EXPECT_EQ(second->moved(), 20u);
  std::vector<nrv::BulkTransferRecord> sink = printer.outTransfers();
  ASSERT_EQ(sink.size(), 2u);
  EXPECT_EQ(sink[0].data, Bytes(data.begin() + 100, data.begin() + 250));
  EXPECT_EQ(sink[1].data, Bytes(data.begin(), data.begin() + 20));
  EXPECT_EQ(printer.outData().size(), 170u);
}

TEST_F(UsbBulk, InTransfersEndAtShortPacketsAndWaitForData) {
  printer.queueInReply(pattern(100));
  Bytes buffer(4096);
  auto full = bulk(in, buffer.data(), nullptr, 64);
  full->request->wait();
  EXPECT_EQ(full->moved(), 64u);
  auto rest = bulk(in, buffer.data() + 64, nullptr, 4096 - 64);
  rest->request->wait();
  EXPECT_EQ(rest->status(), STATUS_SUCCESS);
  EXPECT_EQ(rest->moved(), 36u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), pattern(100));

  // With nothing to send the device NAKs: the transfer waits, however long.
  auto waiting = bulk(in, buffer.data(), nullptr, 64);
  machine.sleep(10000);
  EXPECT_FALSE(waiting->request->completed());
  printer.queueInReply(Bytes{7, 8});
  waiting->request->wait();
  EXPECT_EQ(waiting->moved(), 2u);
  EXPECT_EQ(buffer[0], 7);
}

TEST_F(UsbBulk, CancelEndsAHeldTransferAndAnUnansweredControlRequest) {
  printer.holdBulkTransfer(kOut, 1);
  Bytes data = pattern(10);
  auto held = bulk(out, data.data(), nullptr, 10);
  EXPECT_FALSE(held->request->completed());
  EXPECT_TRUE(held->request->cancel());
  held->request->wait();
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
  EXPECT_EQ(held->usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(held->moved(), 0u);
  EXPECT_TRUE(printer.outTransfers().empty());

  printer.neverAnswerControl(0xA1, nrv::kPrinterGetDeviceId);
  Bytes id(64);
  URB control{};
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = control.UrbControlVendorClassRequest;
  request.Hdr.Length = sizeof(request);
  request.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  request.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  request.TransferBuffer = id.data();
  request.TransferBufferLength = 64;
  auto pending = send(&control);
  EXPECT_EQ(pending->returned(), STATUS_PENDING);
  EXPECT_FALSE(pending->wait(5000));
  EXPECT_TRUE(pending->cancel());
  pending->wait();
  EXPECT_EQ(pending->status().Status, STATUS_CANCELLED);
  EXPECT_EQ(control.UrbHeader.Status, USBD_STATUS_CANCELED);
}

// The bus thread and the canceller race for each transfer: it ends exactly
// once, either moved in full or cancelled with nothing moved.
TEST_F(UsbBulk, CancelRacingCompletionEndsEachTransferOnce) {
  Bytes data = pattern(32);
  size_t delivered = 0;
  for (int round = 0; round < 300; round++) {
    auto transfer = bulk(out, data.data(), nullptr, 32);
    transfer->request->cancel();
    transfer->request->wait();
    if (transfer->status() == STATUS_SUCCESS) {
      EXPECT_EQ(transfer->moved(), 32u);
      delivered++;
    } else {
      EXPECT_EQ(transfer->status(), STATUS_CANCELLED);
      EXPECT_EQ(transfer->moved(), 0u);
    }
  }
  EXPECT_EQ(printer.outTransfers().size(), delivered);
}

// A packet takes its 1 ms frame; a delay comes on top of that.
TEST_F(UsbBulk, DelayedTransferAdvancesTheClockByExactlyItsDelayAndItsFrame) {
  printer.delayBulkTransfer(kOut, 2, 48000);
  Bytes data = pattern(8);
  uint64_t start = machine.scheduler().now();
  bulk(out, data.data(), nullptr, 8)->request->wait();
  EXPECT_EQ(machine.scheduler().now() - start, 1 * kMs);
  auto delayed = bulk(out, data.data(), nullptr, 8);
  delayed->request->wait();
  EXPECT_EQ(delayed->status(), STATUS_SUCCESS);
  EXPECT_EQ(machine.scheduler().now() - start, 48002 * kMs);

  // A caller's shorter time-out comes first.
  printer.delayBulkTransfer(kOut, 3, 1000);
  auto late = bulk(out, data.data(), nullptr, 8);
  EXPECT_FALSE(late->request->wait(400));
  EXPECT_TRUE(late->request->wait());
  EXPECT_EQ(machine.scheduler().now() - start, 49003 * kMs);
}

TEST_F(UsbBulk, StallHaltsThePipeUntilResetAndFailuresReportTheirBytes) {
  printer.stallBulkTransfer(kOut, 1);
  printer.failBulkTransfer(kOut, 4, USBD_STATUS_DEV_NOT_RESPONDING, 5);
  Bytes data = pattern(16);
  auto stalled = bulk(out, data.data(), nullptr, 16);
  stalled->request->wait();
  EXPECT_EQ(stalled->usbd(), USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(stalled->status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled->moved(), 0u);
  EXPECT_TRUE(machine.usb().halted(out));

  auto refused = bulk(out, data.data(), nullptr, 16);
  refused->request->wait();
  EXPECT_EQ(refused->usbd(), USBD_STATUS_ENDPOINT_HALTED);

  EXPECT_EQ(pipeRequest(URB_FUNCTION_RESET_PIPE, out), STATUS_SUCCESS);
  EXPECT_FALSE(machine.usb().halted(out));
  auto after = bulk(out, data.data(), nullptr, 16);
  after->request->wait();
  EXPECT_EQ(after->usbd(), USBD_STATUS_SUCCESS);
  auto failed = bulk(out, data.data(), nullptr, 16);
  failed->request->wait();
  EXPECT_EQ(failed->usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(failed->moved(), 5u);
  EXPECT_EQ(printer.outData().size(), 21u);
}

// A bus that fails the request itself leaves the URB as the driver built it.
TEST_F(UsbBulk, FailedRequestLeavesTheUrbUntouched) {
  printer.failBulkRequest(kOut, 1, STATUS_DEVICE_NOT_CONNECTED);
  Bytes data = pattern(16);
  auto failed = bulk(out, data.data(), nullptr, 16);
  failed->request->wait();
  EXPECT_EQ(failed->status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(failed->usbd(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(failed->moved(), 16u);
  EXPECT_TRUE(printer.outTransfers().empty());
  auto next = bulk(out, data.data(), nullptr, 16);
  next->request->wait();
  EXPECT_EQ(next->status(), STATUS_SUCCESS);
  EXPECT_EQ(printer.outData().size(), 16u);
}

// A stale Cancel flag ends the transfer at once, unless the bus only looks at cancels still to come.
TEST_F(UsbBulk, StaleCancelFlagIsHonouredOnlyWhenTheBusChecksIt) {
  Bytes data = pattern(8);
  auto checked = bulk(out, data.data(), nullptr, 8, true);
  checked->request->wait();
  EXPECT_EQ(checked->status(), STATUS_CANCELLED);
  EXPECT_EQ(checked->usbd(), USBD_STATUS_CANCELED);

  machine.usb().checkCancelFlagAtSubmission(false);
  auto unchecked = bulk(out, data.data(), nullptr, 8, true);
  unchecked->request->wait();
  EXPECT_EQ(unchecked->status(), STATUS_SUCCESS);
  EXPECT_EQ(printer.outData().size(), 8u);
}

TEST_F(UsbBulk, AbortPipeCancelsOnlyThatPipesTransfers) {
  printer.holdBulkTransfer(kOut, 1);
  Bytes data = pattern(4);
  Bytes buffer(64);
  auto held = bulk(out, data.data(), nullptr, 4);
  auto behind = bulk(out, data.data(), nullptr, 4);
  auto reading = bulk(in, buffer.data(), nullptr, 64);
  EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, out), STATUS_SUCCESS);
  EXPECT_TRUE(held->request->completed());
  EXPECT_TRUE(behind->request->completed());
  EXPECT_EQ(held->usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(behind->status(), STATUS_CANCELLED);
  EXPECT_FALSE(reading->request->completed());
  EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, in), STATUS_SUCCESS);
  EXPECT_EQ(reading->usbd(), USBD_STATUS_CANCELED);
  EXPECT_TRUE(printer.outTransfers().empty());
}

TEST(BulkChecksum, IsTheStandardCrcAndDoesNotDependOnHowTheStreamIsCut) {
  const char* check = "123456789";
  EXPECT_EQ(nrv::bulkChecksum(reinterpret_cast<const UCHAR*>(check), 9), 0xCBF43926u);
  Bytes data = pattern(1000);
  uint32_t whole = nrv::bulkChecksum(data.data(), data.size());
  uint32_t pieces = 0;
  for (size_t offset = 0, piece = 1; offset < data.size(); offset += piece, piece = piece * 3 % 29 + 1) {
    pieces = nrv::bulkChecksum(data.data() + offset, std::min(piece, data.size() - offset), pieces);
  }
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(nrv::bulkChecksum(nullptr, 0), 0u);
}

TEST_F(UsbBulk, TheLogKeepsSizesAndChecksumsAndTheBytesOnlyWhenAsked) {
  printer.keepBulkData(false);
  printer.queueInReply(pattern(10));
  Bytes data = pattern(300);
  Bytes buffer(64);
  bulk(out, data.data(), nullptr, 100)->request->wait();
  bulk(out, data.data() + 100, nullptr, 200)->request->wait();
  auto reading = bulk(in, buffer.data(), nullptr, 64);
  reading->request->wait();
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), pattern(10));  // the reader still gets its bytes

  ASSERT_EQ(printer.bulkLogSize(), 3u);
  std::vector<nrv::BulkTransferRecord> log = printer.bulkLogSince(1);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].moved, 200u);
  EXPECT_EQ(log[0].checksum, nrv::bulkChecksum(data.data() + 100, 200));
  EXPECT_TRUE(log[0].data.empty());
  EXPECT_EQ(log[1].endpoint, kIn);
  EXPECT_EQ(log[1].requested, 64u);
  EXPECT_EQ(log[1].moved, 10u);
  EXPECT_EQ(log[1].checksum, nrv::bulkChecksum(pattern(10).data(), 10));
  EXPECT_TRUE(printer.bulkLogSince(3).empty());
  EXPECT_TRUE(printer.outData().empty());
  EXPECT_EQ(printer.bulkTransfersSubmitted(kOut), 2u);
  EXPECT_EQ(printer.bulkTransfersSubmitted(kIn), 1u);

  printer.keepBulkData(true);
  bulk(out, data.data(), nullptr, 7)->request->wait();
  EXPECT_EQ(printer.outData(), pattern(7));
}

TEST_F(UsbBulk, UnplugEndsQueuedTransfersWithDeviceGone) {
  printer.holdBulkTransfer(kOut, 1);
  Bytes data = pattern(4);
  auto held = bulk(out, data.data(), nullptr, 4);
  machine.usb().unplug(device);
  EXPECT_TRUE(held->request->completed());
  EXPECT_EQ(held->status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(held->usbd(), USBD_STATUS_DEVICE_GONE);
}

}  // namespace
