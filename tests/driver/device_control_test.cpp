// The device-control interface the port monitor uses.
#include <algorithm>

#include "printer_on_bus.h"
#include "usbprn_ioctl.h"

namespace {

struct Answer {
  NTSTATUS status;
  ULONG_PTR information;
  std::vector<UCHAR> output;  // the bytes the I/O manager copies back
};

class DeviceControlTest : public PrinterOnBusTest {
 protected:
  void SetUp() override {
    printer = plugAndAdd(config());
    ASSERT_EQ(start(printer), STATUS_SUCCESS);
  }

  virtual nrv::PrinterConfig config() { return {}; }

  // Sends a device-control request through an open handle, as DeviceIoControl does.
  Answer ioctl(ULONG code, std::vector<UCHAR> input, ULONG outputLength) {
    if (file == nullptr) {
      EXPECT_EQ(machine.io().open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName),
                                  u"", &file),
                STATUS_SUCCESS);
    }
    std::vector<UCHAR> output(outputLength);
    nrv::IrpOutcome outcome = machine.io().deviceControl(
        file, code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
        output.empty() ? nullptr : output.data(), outputLength);
    EXPECT_EQ(outcome.returned, outcome.status.Status) << "the returned and the stored status differ";
    size_t copied =
        NT_SUCCESS(outcome.status.Status) ? std::min<size_t>(outcome.status.Information, outputLength) : 0;
    output.resize(copied);
    return Answer{outcome.status.Status, outcome.status.Information, output};
  }

  std::vector<nrv::UsbRequestRecord> classRequests() {
    std::vector<nrv::UsbRequestRecord> found;
    for (const nrv::UsbRequestRecord& record : printer.usb->log()) {
      if (record.type() != 0) found.push_back(record);
    }
    return found;
  }

  AddedPrinter printer;
  PFILE_OBJECT file = nullptr;
};

TEST_F(DeviceControlTest, VersionAndDescriptorsAnswerOnlyBuffersLargeEnough) {
  Answer version = ioctl(IOCTL_USBPRN_GET_VERSION, {}, 8);
  EXPECT_EQ(version.status, STATUS_SUCCESS);
  EXPECT_EQ(std::string(version.output.begin(), version.output.end()), "3.00.220");
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_VERSION, {}, 7).status, USBPRN_STATUS_BUFFER_TOO_SMALL);

  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_DEVICE_DESCRIPTOR, {}, 17).status, USBPRN_STATUS_BUFFER_TOO_SMALL);
  Answer device = ioctl(IOCTL_USBPRN_GET_DEVICE_DESCRIPTOR, {}, 64);
  EXPECT_EQ(device.information, 18u);
  EXPECT_EQ(device.output[1], USB_DEVICE_DESCRIPTOR_TYPE);

  ULONG total = printer.extension()->ConfigurationDescriptor->wTotalLength;
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR, {}, total - 1).status,
            USBPRN_STATUS_BUFFER_TOO_SMALL);
  Answer whole = ioctl(IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR, {}, total);
  EXPECT_EQ(whole.information, total);
  EXPECT_EQ(whole.output, printer.usb->model().configurationDescriptor());
}

// A length query writes the length into the shared buffer, which only input can provide.
TEST_F(DeviceControlTest, LengthQueriesNeedABufferForTheirAnswer) {
  std::vector<UCHAR> room(4);
  Answer query = ioctl(IOCTL_USBPRN_GET_DEVICE_DESCRIPTOR, room, 0);
  EXPECT_EQ(query.status, STATUS_SUCCESS);
  EXPECT_EQ(query.information, 4u);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR, {}, 0).status, USBPRN_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR, {1, 2, 3}, 0).status,
            USBPRN_STATUS_BUFFER_TOO_SMALL);
}

TEST_F(DeviceControlTest, TheDeviceIdComesWithoutItsLengthBytes) {
  std::string text = "MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;";
  Answer query = ioctl(IOCTL_USBPRN_GET_DEVICE_ID, {}, 0);
  EXPECT_EQ(query.status, STATUS_SUCCESS);
  EXPECT_EQ(query.information, text.size());
  EXPECT_TRUE(query.output.empty());

  Answer whole = ioctl(IOCTL_USBPRN_GET_DEVICE_ID, {}, 1024);
  EXPECT_EQ(std::string(whole.output.begin(), whole.output.end()), text);

  Answer part = ioctl(IOCTL_USBPRN_GET_DEVICE_ID, {}, 10);
  EXPECT_EQ(part.information, 10u);
  EXPECT_EQ(std::string(part.output.begin(), part.output.end()), text.substr(0, 10));

  for (std::vector<UCHAR> reply : {std::vector<UCHAR>{0, 0}, std::vector<UCHAR>{0, 1, 'X'}}) {
    printer.usb->printer().setDeviceId(reply);
    Answer empty = ioctl(IOCTL_USBPRN_GET_DEVICE_ID, {}, 64);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
  }
  // The largest buffers would make the 16-bit transfer length wrap.
  printer.usb->printer().setDeviceId(nrv::ieee1284DeviceId(text));
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_DEVICE_ID, {}, 65534).information, text.size());
}

TEST_F(DeviceControlTest, PortStatusIsOneByteWhenThePrinterAnswers) {
  printer.usb->printer().setPortStatus(0x38);
  Answer status = ioctl(IOCTL_USBPRN_GET_PORT_STATUS, {0, 0}, 1);
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(status.output, std::vector<UCHAR>{0x38});
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_PORT_STATUS, {}, 0).status, USBPRN_STATUS_BUFFER_TOO_SMALL);
}

// A printer out of paper: its small buffer fills and the write waits for room.
class PaperOutTest : public DeviceControlTest {
 protected:
  nrv::PrinterConfig config() override {
    nrv::PrinterConfig paperOut;
    paperOut.portStatus = 0x30;
    paperOut.bufferSize = 4096;
    paperOut.printBytesPerMillisecond = 64;
    return paperOut;
  }
};

// The status request takes the control pipe: a write waiting for the printer
// does not hold it up, and a change of status shows in the very next answer.
TEST_F(PaperOutTest, PortStatusChangesShowAtOnceWhileAWriteWaits) {
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_PORT_STATUS, {0, 0}, 1).output, std::vector<UCHAR>{0x30});
  std::vector<UCHAR> data(8192, 0x5A);
  std::unique_ptr<nrv::PendingRequest> writing = machine.io().startWrite(file, data.data(), 8192);
  machine.sleep(10000);
  ASSERT_FALSE(writing->completed());
  uint64_t before = machine.scheduler().now();
  printer.usb->printer().setPortStatus(0x18);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_PORT_STATUS, {0, 0}, 1).output, std::vector<UCHAR>{0x18});
  EXPECT_EQ(machine.scheduler().now(), before);
  writing->wait();
  EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(writing->status().Information, 8192u);
  // The other 4096 bytes needed 64 ms of printing once the paper was in.
  EXPECT_EQ(machine.scheduler().now(), before + 64 * nrv::Scheduler::kUnitsPerMillisecond);
}

// The port monitor gives up on a printer that takes nothing: its cancel ends
// the write that waits for room, with the bytes of the transfers that ended before.
TEST_F(PaperOutTest, CancellingThePipeEndsAWriteThatWaitsForRoom) {
  std::vector<UCHAR> data(70000, 0x5A);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_PORT_STATUS, {0, 0}, 1).status, STATUS_SUCCESS);  // opens the handle
  std::unique_ptr<nrv::PendingRequest> writing = machine.io().startWrite(file, data.data(), 70000);
  EXPECT_FALSE(writing->wait(60000));
  EXPECT_EQ(ioctl(IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, {USBPRN_PIPE_BULK_OUT}, 0).status, STATUS_SUCCESS);
  writing->wait();
  EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(writing->status().Information, 0u);
  EXPECT_EQ(printer.usb->model().inputBufferLevel(), 4096u)
      << "what went before the cancel stays in the printer";
}

TEST_F(DeviceControlTest, InterfaceSelectionAndPipeSelectorsAreChecked) {
  printer.usb->model().clearLog();
  EXPECT_EQ(ioctl(IOCTL_USBPRN_SET_CURRENT_INTERFACE, {0}, 0).status, STATUS_SUCCESS);
  EXPECT_TRUE(printer.usb->log().empty()) << "the setting in use needs no request";
  EXPECT_EQ(ioctl(IOCTL_USBPRN_SET_CURRENT_INTERFACE, {3}, 0).status, USBPRN_STATUS_BAD_INTERFACE);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_SET_CURRENT_INTERFACE, {}, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_CURRENT_INTERFACE, {}, 1).output, std::vector<UCHAR>{0});

  EXPECT_EQ(ioctl(IOCTL_USBPRN_RESET_BULK_PIPE, {2}, 0).status, USBPRN_STATUS_BAD_PIPE);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_RESET_BULK_PIPE, {}, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_ABORT_PIPE, {7}, 0).status, USBPRN_STATUS_BAD_PIPE);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, {0}, 0).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, UnassignedCodesAndAStoppingDeviceAreRefused) {
  EXPECT_EQ(ioctl(0x22141C, {}, 16).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(0x221800, {}, 16).status, STATUS_INVALID_PARAMETER);
  printer.extension()->StopPending = TRUE;
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_VERSION, {}, 8).status, STATUS_DELETE_PENDING);
  printer.extension()->StopPending = FALSE;
  EXPECT_EQ(printer.extension()->IoCount, 1);
}

TEST_F(DeviceControlTest, SoftResetIsAddressedByTheClassOptions) {
  for (UCHAR options : {0, 1}) {
    printer.extension()->PrinterClassOptions = options;
    printer.usb->model().clearLog();
    EXPECT_EQ(ioctl(IOCTL_USBPRN_SOFT_RESET, {}, 0).status, STATUS_SUCCESS);
    std::vector<nrv::UsbRequestRecord> sent = classRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request, 2);
    EXPECT_EQ(sent[0].requestTypeBits, options ? 0x21 : 0x23);
  }
}

TEST_F(DeviceControlTest, APrinterWithARegisterGetsItWrittenAfterASoftReset) {
  printer.extension()->DeviceType = 1;
  printer.usb->model().clearLog();
  ioctl(IOCTL_USBPRN_SOFT_RESET, {}, 0);
  std::vector<nrv::UsbRequestRecord> sent = classRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].requestTypeBits, 0x40);
  EXPECT_EQ(sent[1].request, 4);
  EXPECT_EQ(sent[1].value, 0x0803);
  EXPECT_EQ(sent[1].index, 0);
}

TEST_F(DeviceControlTest, TheStoredDeviceIdIsReadFromTheRegistry) {
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID, {}, 64).information, 0u);
  machine.registry().setString(deviceKey(*printer.usb), u"DeviceID", u"MFG:ABC;MDL:P100;");
  Answer stored = ioctl(IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID, {}, 64);
  EXPECT_EQ(std::string(stored.output.begin(), stored.output.end()), "MFG:ABC;MDL:P100;");
  Answer cut = ioctl(IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID, {}, 4);
  EXPECT_EQ(std::string(cut.output.begin(), cut.output.end()), "MFG:");
}

TEST_F(DeviceControlTest, StringDescriptorsAreReadFromThePrinter) {
  Answer serial = ioctl(IOCTL_USBPRN_GET_STRING_DESCRIPTOR, {nrv::kSerialNumberStringIndex}, 255);
  ASSERT_EQ(serial.status, STATUS_SUCCESS);
  EXPECT_EQ(serial.information, serial.output.size());
  EXPECT_EQ(serial.output[1], USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_STRING_DESCRIPTOR, {}, 255).status, STATUS_INVALID_PARAMETER);
  Answer missing = ioctl(IOCTL_USBPRN_GET_STRING_DESCRIPTOR, {9}, 255);
  EXPECT_FALSE(NT_SUCCESS(missing.status));
  EXPECT_EQ(missing.information, 0u);
}

// Interface 0 in three alternate settings: two bidirectional ones on endpoints
// of their own, and a unidirectional one with a single pipe.
class AlternateSettingTest : public DeviceControlTest {
 protected:
  nrv::PrinterConfig config() override {
    return printerWith({nrv::printerInterface(0, 0, 2, 0x01, 0x82),
                        nrv::printerInterface(0, 1, 2, 0x03, 0x84), nrv::printerInterface(0, 2, 1, 0x05)});
  }

  PFILE_OBJECT openPipe(const std::u16string& name) {
    PFILE_OBJECT opened = nullptr;
    EXPECT_EQ(machine.io().open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName),
                                name, &opened),
              STATUS_SUCCESS);
    return opened;
  }

  // The endpoint of the last bulk transfer the printer answered.
  UCHAR lastEndpoint() {
    std::vector<nrv::BulkTransferRecord> log = printer.usb->model().bulkLog();
    return log.empty() ? 0 : log.back().endpoint;
  }
};

// A handle bound to a pipe by number keeps the number: after a switch it uses
// that pipe of the new setting, and a number the new setting lacks binds nothing.
TEST_F(AlternateSettingTest, HandlesBoundToPipesFollowASwitchOfTheAlternateSetting) {
  PFILE_OBJECT outPipe = openPipe(u"\\0");
  PFILE_OBJECT inPipe = openPipe(u"\\1");
  std::vector<UCHAR> data(100, 0x77);
  std::vector<UCHAR> buffer(64);

  ASSERT_EQ(ioctl(IOCTL_USBPRN_SET_CURRENT_INTERFACE, {1}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(ioctl(IOCTL_USBPRN_GET_CURRENT_INTERFACE, {}, 1).output, std::vector<UCHAR>{1});
  EXPECT_EQ(printer.usb->model().alternateSetting(0), 1);
  EXPECT_EQ(machine.io().write(outPipe, data.data(), 100).status.Information, 100u);
  EXPECT_EQ(lastEndpoint(), 0x03);
  printer.usb->model().queueInReply(std::vector<UCHAR>(5, 0x42));
  EXPECT_EQ(machine.io().read(inPipe, buffer.data(), 64).status.Information, 5u);
  EXPECT_EQ(lastEndpoint(), 0x84);

  ASSERT_EQ(ioctl(IOCTL_USBPRN_SET_CURRENT_INTERFACE, {2}, 0).status, STATUS_SUCCESS);
  size_t answered = printer.usb->model().bulkLog().size();
  EXPECT_EQ(machine.io().read(inPipe, buffer.data(), 64).status.Status, STATUS_INVALID_HANDLE)
      << "the setting has no pipe 1 and no IN pipe";
  EXPECT_EQ(machine.io().write(inPipe, data.data(), 100).status.Information, 100u);
  EXPECT_EQ(lastEndpoint(), 0x05);
  EXPECT_EQ(printer.usb->model().bulkLog().size(), answered + 1);

  machine.io().close(inPipe);
  machine.io().close(outPipe);
  EXPECT_EQ(printer.extension()->OpenCount, 1) << "the handle the control requests went through";
  EXPECT_EQ(printer.extension()->IoCount, 1);
}

}  // namespace
