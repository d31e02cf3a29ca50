// What the bus tells a traffic listener: each request on its way down and its
// completion on the way back, with the setup packet, the data and the clock,
// the periods the device NAKs, and the requests that end without reaching it.
#include <mutex>

#include "usb_bulk_fixture.h"

namespace {

using namespace usb_bulk;

// A packet as the listener saw it, its data copied.
struct Seen {
  nrv::UsbTrafficPacket packet;
  Bytes data;
};

struct Nak {
  uint64_t time;
  UCHAR endpoint;
  bool begins;
};

class Recorder : public nrv::UsbTrafficListener {
 public:
  void packet(const nrv::UsbTrafficPacket& packet) override {
    std::lock_guard<std::mutex> guard(lock_);
    seen_.push_back({packet, Bytes(packet.data, packet.data + packet.length)});
    seen_.back().packet.data = nullptr;
  }
  void nak(uint64_t time, USHORT, USHORT, UCHAR endpoint, bool begins) override {
    std::lock_guard<std::mutex> guard(lock_);
    naks_.push_back({time, endpoint, begins});
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }
  std::vector<Nak> naks() {
    std::lock_guard<std::mutex> guard(lock_);
    return naks_;
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    seen_.clear();
    naks_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<Seen> seen_;
  std::vector<Nak> naks_;
};

// The recorder exists before the machine, which is given it at its start.
struct RecorderFirst {
  Recorder recorder;
};

class UsbTraffic : public RecorderFirst, public UsbBulkFixture {
 protected:
  UsbTraffic() : UsbBulkFixture({}, &recorder) {}

  // The packets of one request, in order.
  std::vector<Seen> of(uint64_t requestId) {
    std::vector<Seen> found;
    for (const Seen& seen : recorder.seen())
      if (seen.packet.requestId == requestId) found.push_back(seen);
    return found;
  }
};

TEST_F(UsbTraffic, ControlTransfersShowTheirSetupPacketsAndData) {
  // The fixture read the configuration descriptor and selected the configuration.
  std::vector<Seen> seen = recorder.seen();
  ASSERT_EQ(seen.size(), 4u);
  const nrv::UsbTrafficPacket& get = seen[0].packet;
  EXPECT_FALSE(get.completion);
  EXPECT_EQ(get.transfer, nrv::UsbTransferKind::Control);
  EXPECT_EQ(get.stage, nrv::UsbControlStage::Setup);
  EXPECT_EQ(get.function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(get.endpoint, 0x80);
  EXPECT_EQ(get.bus, 1);
  EXPECT_EQ(get.device, device.port());
  EXPECT_EQ(get.setup, (std::array<UCHAR, 8>{0x80, 6, 0, 2, 0, 0, 255, 0}));
  const nrv::UsbTrafficPacket& got = seen[1].packet;
  EXPECT_TRUE(got.completion);
  EXPECT_EQ(got.stage, nrv::UsbControlStage::Complete);
  EXPECT_EQ(got.requestId, get.requestId);
  EXPECT_EQ(seen[1].data, printer.configurationDescriptor());
  EXPECT_EQ(seen[2].packet.setup, (std::array<UCHAR, 8>{0x00, 9, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(seen[2].packet.function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(seen[3].data.empty());

  // An OUT request's data goes down in a data stage of its own.
  recorder.clear();
  Bytes data{1, 2, 3};
  URB vendor{};
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = vendor.UrbControlVendorClassRequest;
  request.Hdr.Length = sizeof(request);
  request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  request.Request = 4;
  request.Value = 0x0803;
  request.TransferBuffer = data.data();
  request.TransferBufferLength = 3;
  ASSERT_EQ(send(&vendor)->returned(), STATUS_SUCCESS);
  seen = recorder.seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].packet.setup, (std::array<UCHAR, 8>{0x40, 4, 0x03, 0x08, 0, 0, 3, 0}));
  EXPECT_EQ(seen[1].packet.stage, nrv::UsbControlStage::Data);
  EXPECT_FALSE(seen[1].packet.completion);
  EXPECT_EQ(seen[1].data, data);
  EXPECT_TRUE(seen[2].packet.completion);
  EXPECT_TRUE(seen[2].data.empty());
}

TEST_F(UsbTraffic, BulkTransfersGoDownWithOutDataAndComeBackWithInData) {
  recorder.clear();
  Bytes data = pattern(1216);
  auto written = bulk(out, data.data(), nullptr, 1216);
  written->request->wait();
  printer.queueInReply(Bytes{'O', 'K'});
  Bytes buffer(64);
  auto read = bulk(in, buffer.data(), nullptr, 64);
  read->request->wait();

  std::vector<Seen> seen = recorder.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].packet.transfer, nrv::UsbTransferKind::Bulk);
  EXPECT_EQ(seen[0].packet.function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(seen[0].packet.endpoint, kOut);
  EXPECT_EQ(seen[0].data, data);
  EXPECT_TRUE(seen[1].packet.completion);
  EXPECT_EQ(seen[1].packet.requestId, seen[0].packet.requestId);
  EXPECT_EQ(seen[1].packet.status, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(seen[1].data.empty());
  // 1216 bytes take one 1 ms frame at full speed.
  EXPECT_EQ(seen[1].packet.time - seen[0].packet.time, kMs);
  EXPECT_EQ(seen[2].packet.endpoint, kIn);
  EXPECT_TRUE(seen[2].data.empty());
  EXPECT_EQ(seen[3].data, (Bytes{'O', 'K'}));
}

TEST_F(UsbTraffic, NakPeriodsLastWhileTheDeviceHasNothingToSend) {
  Bytes buffer(64);
  uint64_t start = machine.scheduler().now();
  auto read = bulk(in, buffer.data(), nullptr, 64);
  machine.sleep(10000);
  printer.queueInReply(Bytes{1});
  read->request->wait();
  std::vector<Nak> naks = recorder.naks();
  ASSERT_EQ(naks.size(), 2u);
  EXPECT_TRUE(naks[0].begins);
  EXPECT_EQ(naks[0].endpoint, kIn);
  EXPECT_EQ(naks[0].time, start);
  EXPECT_FALSE(naks[1].begins);
  EXPECT_EQ(naks[1].time, start + 10000 * kMs);
}

TEST_F(UsbTraffic, CancelledAbortedAndRefusedRequestsComeBackToo) {
  recorder.clear();
  printer.holdBulkTransfer(kOut, 1);
  Bytes data = pattern(10);
  auto held = bulk(out, data.data(), nullptr, 10);
  ASSERT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE, out), STATUS_SUCCESS);
  held->request->wait();
  URB refused{};
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = refused.UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof(transfer);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
  transfer.TransferBuffer = data.data();
  transfer.TransferBufferLength = 10;
  EXPECT_EQ(send(&refused)->returned(), STATUS_INVALID_PARAMETER);

  std::vector<Seen> seen = recorder.seen();
  ASSERT_EQ(seen.size(), 6u);
  // The abort goes down, the held transfer comes back cancelled, then the abort.
  EXPECT_EQ(seen[1].packet.function, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(seen[1].packet.transfer, nrv::UsbTransferKind::Other);
  EXPECT_EQ(seen[1].packet.endpoint, kOut);
  EXPECT_EQ(seen[2].packet.requestId, seen[0].packet.requestId);
  EXPECT_EQ(seen[2].packet.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(seen[3].packet.requestId, seen[1].packet.requestId);
  EXPECT_TRUE(seen[3].packet.completion);
  // A transfer for a pipe the device does not have is refused at once.
  EXPECT_EQ(seen[4].packet.endpoint, 0);
  EXPECT_EQ(seen[5].packet.status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// After a port reset the bus configures the device again on its own: plain control transfers.
TEST_F(UsbTraffic, APortResetShowsAsTheBussOwnConfiguration) {
  recorder.clear();
  auto reset = machine.io().start(
      device.pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, nullptr, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
      });
  ASSERT_EQ(reset->returned(), STATUS_SUCCESS);
  std::vector<Seen> seen = recorder.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].packet.function, URB_FUNCTION_CONTROL_TRANSFER);
  EXPECT_EQ(seen[0].packet.setup[1], 9);
  EXPECT_EQ(seen[0].packet.requestId, 0u);
}

}  // namespace
