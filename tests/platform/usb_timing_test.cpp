// Bulk transfers take the time their packets take on the link, and a
// printer's full input buffer makes OUT transfers wait until printing frees
// room; its status byte starts and stops the printing at once. All of it on
// the virtual clock.
#include <random>

#include "death_test.h"
#include "usb_bulk_fixture.h"

namespace {

using namespace usb_bulk;

// A printer that takes bytes as fast as the link brings them: the link alone sets the pace.
nrv::PrinterConfig linkBound(nrv::UsbSpeed speed) {
  nrv::PrinterConfig config;
  config.usb = nrv::printerDescription(speed);
  config.bufferSize = nrv::InputBuffer::kUnlimited;
  return config;
}

// A small, slow printer: 4 KiB of buffer printed at 64 bytes a millisecond.
nrv::PrinterConfig slowPrinter() {
  nrv::PrinterConfig config;
  config.bufferSize = 4096;
  config.printBytesPerMillisecond = 64;
  return config;
}

class FullSpeedLink : public UsbBulkFixture {
 protected:
  FullSpeedLink() : UsbBulkFixture(linkBound(nrv::UsbSpeed::Full)) {}
};

class HighSpeedLink : public UsbBulkFixture {
 protected:
  HighSpeedLink() : UsbBulkFixture(linkBound(nrv::UsbSpeed::High)) {}
};

class SlowPrinter : public UsbBulkFixture {
 protected:
  SlowPrinter() : UsbBulkFixture(slowPrinter()) {}

  // Sends an OUT transfer and gives the virtual time it ended at.
  uint64_t write(ULONG length) {
    Bytes data = pattern(length);
    auto transfer = bulk(out, data.data(), nullptr, length);
    transfer->request->wait();
    EXPECT_EQ(transfer->status(), STATUS_SUCCESS);
    EXPECT_EQ(transfer->moved(), length);
    return machine.scheduler().now();
  }
};

TEST_F(FullSpeedLink, TransfersTakeWholeFramesOfNineteenPacketsOfSixtyFourBytes) {
  Bytes data = pattern(65536);
  auto large = bulk(out, data.data(), nullptr, 65536);
  large->request->wait();
  // 1024 packets, 19 a frame: the 54th frame carries the last.
  EXPECT_EQ(machine.scheduler().now(), 54 * kMs);
  EXPECT_EQ(large->moved(), 65536u);

  // 19 full packets fit one frame; a twentieth byte needs a second one.
  bulk(out, data.data(), nullptr, 19 * 64)->request->wait();
  EXPECT_EQ(machine.scheduler().now(), 55 * kMs);
  bulk(out, data.data(), nullptr, 19 * 64 + 1)->request->wait();
  EXPECT_EQ(machine.scheduler().now(), 57 * kMs);
  // An empty transfer has no packet to wait for.
  bulk(out, data.data(), nullptr, 0)->request->wait();
  EXPECT_EQ(machine.scheduler().now(), 57 * kMs);

  // A reply shorter than the read ends it with its short packet, in the frame that carries it.
  printer.queueInReply(pattern(1300));
  Bytes buffer(4096);
  auto read = bulk(in, buffer.data(), nullptr, 4096);
  read->request->wait();
  EXPECT_EQ(read->moved(), 1300u);
  EXPECT_EQ(machine.scheduler().now(), 59 * kMs);
}

TEST_F(HighSpeedLink, TransfersTakeMicroframesOfThirteenPacketsOfFiveHundredTwelveBytes) {
  std::vector<UCHAR> descriptor = printer.deviceDescriptor();
  EXPECT_EQ(descriptor[2] | descriptor[3] << 8, 0x0200);
  for (const nrv::UsbPipe& pipe : device.pipes()) EXPECT_EQ(pipe.maxPacketSize, 512u);

  Bytes data = pattern(65536);
  bulk(out, data.data(), nullptr, 65536)->request->wait();
  // 128 packets, 13 a microframe of 125 us: ten microframes.
  EXPECT_EQ(machine.scheduler().now(), 10 * kMs / 8);
  bulk(out, data.data(), nullptr, 13 * 512)->request->wait();
  EXPECT_EQ(machine.scheduler().now(), 11 * kMs / 8);
}

using UsbSpeedDeathTest = platform_test::DeathTest;

TEST_F(UsbSpeedDeathTest, DescriptorsThatDisagreeWithTheSpeedStopTheMachine) {
  nrv::UsbDeviceDescription oldVersion = nrv::printerDescription(nrv::UsbSpeed::High);
  oldVersion.usbVersion = 0x0110;
  EXPECT_DEATH(nrv::SimulatedPrinter{nrv::PrinterConfig{oldVersion}}, "bcdUSB 0x0110");
  nrv::UsbDeviceDescription smallPackets = nrv::printerDescription(nrv::UsbSpeed::High);
  smallPackets.interfaces[0].endpoints[0].maxPacketSize = 64;
  EXPECT_DEATH(nrv::SimulatedPrinter{nrv::PrinterConfig{smallPackets}},
               "64-byte packets; high speed takes 512");
  nrv::UsbDeviceDescription largePackets = nrv::printerDescription(nrv::UsbSpeed::Full);
  largePackets.interfaces[0].endpoints[1].maxPacketSize = 512;
  EXPECT_DEATH(nrv::SimulatedPrinter{nrv::PrinterConfig{largePackets}}, "full speed takes 8, 16, 32 or 64");
}

TEST_F(SlowPrinter, AWriteLargerThanTheBufferEndsWhenPrintingHasMadeRoomForItsRest) {
  // The buffer fills at the link's rate; the other 4096 bytes go in at 64 a millisecond.
  EXPECT_EQ(write(8192), 64 * kMs);
  EXPECT_EQ(printer.inputBufferLevel(), 4096u);
  // The next write finds the buffer full and waits for room from its first packet on.
  EXPECT_EQ(write(640), 74 * kMs);
  machine.sleep(10);
  EXPECT_EQ(printer.inputBufferLevel(), 4096u - 10 * 64);
}

TEST_F(SlowPrinter, AFullBufferMakesAWriteWaitUntilPrintingFreesRoom) {
  printer.setPortStatus(nrv::kPortStatusNoError);  // offline: nothing prints
  EXPECT_EQ(write(4096), 4 * kMs);
  Bytes data = pattern(64);
  auto waiting = bulk(out, data.data(), nullptr, 64);
  EXPECT_FALSE(waiting->request->wait(10000));
  EXPECT_EQ(printer.inputBufferLevel(), 4096u);
  uint64_t online = machine.scheduler().now();
  printer.setPortStatus(nrv::kPortStatusSelected | nrv::kPortStatusNoError);
  waiting->request->wait();
  EXPECT_EQ(waiting->status(), STATUS_SUCCESS);
  EXPECT_EQ(machine.scheduler().now(),
            online + 1 * kMs);  // one millisecond of printing makes room for 64 bytes
}

TEST_F(SlowPrinter, PaperOutAndOfflineStopPrintingAndPaperInResumesIt) {
  write(4096);
  struct Stop {
    UCHAR status;
    const char* what;
  };
  for (Stop stop : {Stop{0x30, "paper out"}, Stop{0x00, "offline"}, Stop{0x08, "offline, no error"},
                    Stop{0x38, "paper empty"}, Stop{0x10, "an error"}}) {
    uint64_t level = printer.inputBufferLevel();
    printer.setPortStatus(stop.status);
    machine.sleep(1000);
    EXPECT_EQ(printer.inputBufferLevel(), level) << stop.what;
    printer.setPortStatus(0x18);
    machine.sleep(10);
    EXPECT_EQ(printer.inputBufferLevel(), level - 640) << stop.what;
  }
}

TEST_F(SlowPrinter, PaperOutHaltsAWriteMidwayAndPaperInLetsItFinish) {
  Bytes data = pattern(8192);
  auto writing = bulk(out, data.data(), nullptr, 8192);
  machine.sleep(20);  // full since 3.6 ms; 1280 bytes of the rest went in since
  printer.setPortStatus(0x30);
  EXPECT_FALSE(writing->request->wait(5000));
  printer.setPortStatus(0x18);
  writing->request->wait();
  EXPECT_EQ(writing->status(), STATUS_SUCCESS);
  EXPECT_EQ(machine.scheduler().now(), 5064 * kMs);  // the 64 ms it needs, and the 5 s without paper
  EXPECT_EQ(printer.outData(), data);
}

TEST_F(SlowPrinter, CancellingAWriteThatWaitsForRoomEndsItAndFreesTheLink) {
  printer.setPortStatus(0x30);
  Bytes data = pattern(8192);
  auto waiting = bulk(out, data.data(), nullptr, 8192);
  EXPECT_FALSE(waiting->request->wait(60000));
  EXPECT_TRUE(waiting->request->cancel());
  waiting->request->wait();
  EXPECT_EQ(waiting->status(), STATUS_CANCELLED);
  EXPECT_EQ(waiting->usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(waiting->moved(), 0u);
  // The packets that went stay in the printer; the transfer is not logged as ended.
  EXPECT_EQ(printer.inputBufferLevel(), 4096u);
  EXPECT_TRUE(printer.outTransfers().empty());

  // The next write starts afresh and waits its turn for room.
  printer.setPortStatus(0x18);
  uint64_t resumed = machine.scheduler().now();
  auto next = bulk(out, data.data(), nullptr, 64);
  next->request->wait();
  EXPECT_EQ(next->status(), STATUS_SUCCESS);
  EXPECT_EQ(machine.scheduler().now(), resumed + 1 * kMs);

  // Aborting the pipe and pulling the cable end a waiting write the same way.
  printer.setPortStatus(0x30);
  auto filling = bulk(out, data.data(), nullptr, 8192);
  EXPECT_FALSE(filling->request->wait(100));
  EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, out), STATUS_SUCCESS);
  EXPECT_EQ(filling->usbd(), USBD_STATUS_CANCELED);
  auto unplugged = bulk(out, data.data(), nullptr, 8192);
  EXPECT_FALSE(unplugged->request->wait(100));
  machine.usb().unplug(device);
  EXPECT_EQ(unplugged->usbd(), USBD_STATUS_DEVICE_GONE);
}

TEST_F(SlowPrinter, AReadGoesOnWhileAWriteWaitsForRoom) {
  printer.setPortStatus(0x30);
  Bytes data = pattern(8192);
  auto waiting = bulk(out, data.data(), nullptr, 8192);
  machine.sleep(100);
  printer.queueInReply(pattern(10));
  Bytes buffer(64);
  auto read = bulk(in, buffer.data(), nullptr, 64);
  read->request->wait();
  EXPECT_EQ(read->moved(), 10u);
  EXPECT_FALSE(waiting->request->completed());
  waiting->request->cancel();
  waiting->request->wait();
}

TEST_F(SlowPrinter, ScriptedFaultsKeepTheirTiming) {
  printer.delayBulkTransfer(kOut, 1, 500);
  printer.failBulkTransfer(kOut, 2, USBD_STATUS_DEV_NOT_RESPONDING, 1300);
  printer.stallBulkTransfer(kOut, 3);
  printer.holdBulkTransfer(kOut, 4);
  // A delay comes before the packets move.
  EXPECT_EQ(write(1216), 501 * kMs);
  // A failure takes the time of the bytes it moved.
  Bytes data = pattern(4096);
  auto failed = bulk(out, data.data(), nullptr, 4096);
  failed->request->wait();
  EXPECT_EQ(failed->usbd(), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(failed->moved(), 1300u);
  EXPECT_EQ(machine.scheduler().now(), 503 * kMs);
  // A stall ends at once, and a held transfer stays until cancelled.
  auto stalled = bulk(out, data.data(), nullptr, 4096);
  stalled->request->wait();
  EXPECT_EQ(stalled->usbd(), USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(machine.scheduler().now(), 503 * kMs);
  EXPECT_EQ(pipeRequest(URB_FUNCTION_RESET_PIPE, out), STATUS_SUCCESS);
  auto held = bulk(out, data.data(), nullptr, 4096);
  EXPECT_FALSE(held->request->wait(100000));
  held->request->cancel();
  held->request->wait();
  EXPECT_EQ(held->usbd(), USBD_STATUS_CANCELED);
  // The printer printed all along: what the delay, failure and stall left is long gone.
  EXPECT_EQ(printer.inputBufferLevel(), 0u);
}

// Writes of random sizes, queued two at a time, meet random status changes,
// sleeps and cancels: each ends exactly once, the printer logs exactly the
// writes that ended whole, in order, and the machine never stops on a deadlock.
TEST_F(SlowPrinter, RandomWritesStatusChangesAndCancelsKeepEveryByteInOrder) {
  std::mt19937 random(7);
  const UCHAR statuses[] = {0x18, 0x18, 0x30, 0x08, 0x00, 0x38};
  Bytes data = pattern(20000);
  Bytes expected;
  std::vector<std::pair<std::unique_ptr<Submission>, ULONG>> running;
  auto settle = [&](size_t keep) {
    while (running.size() > keep) {
      auto& [transfer, length] = running.front();
      printer.setPortStatus(0x18);
      transfer->request->wait();
      if (transfer->status() == STATUS_SUCCESS) {
        EXPECT_EQ(transfer->moved(), length);
        expected.insert(expected.end(), data.begin(), data.begin() + length);
      } else {
        EXPECT_EQ(transfer->status(), STATUS_CANCELLED);
      }
      running.erase(running.begin());
    }
  };
  for (int step = 0; step < 300; step++) {
    switch (random() % 4) {
      case 0: {
        ULONG length = random() % 20000;
        running.emplace_back(bulk(out, data.data(), nullptr, length), length);
        break;
      }
      case 1:
        printer.setPortStatus(statuses[random() % 6]);
        break;
      case 2:
        machine.sleep(random() % 200);
        break;
      default:
        if (!running.empty()) running[random() % running.size()].first->request->cancel();
        break;
    }
    settle(2);
  }
  settle(0);
  EXPECT_EQ(printer.outData(), expected);
}

}  // namespace
