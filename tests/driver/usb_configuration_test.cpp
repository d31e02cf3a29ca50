// Configuring the printer through the USB stack, and waiting for USB requests.
#include "printer_on_bus.h"

namespace {

using nrv::printerInterface;

class UsbConfigurationTest : public PrinterOnBusTest {
 protected:
  std::vector<nrv::UsbRequestRecord> configurationReads(const AddedPrinter& printer) {
    std::vector<nrv::UsbRequestRecord> reads;
    for (const nrv::UsbRequestRecord& record : printer.usb->log()) {
      if (record.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
          record.descriptorType() == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        reads.push_back(record);
      }
    }
    return reads;
  }
};

TEST_F(UsbConfigurationTest, TheBidirectionalInterfaceWinsInEitherOrder) {
  for (bool bidirectionalFirst : {true, false}) {
    std::vector<nrv::UsbInterfaceDescription> interfaces = {printerInterface(0, 0, 1), printerInterface(1, 0, 2)};
    if (bidirectionalFirst) std::swap(interfaces[0], interfaces[1]);
    AddedPrinter printer = plugAndAdd(printerWith(interfaces));
    ASSERT_EQ(PLMUSB_ConfigureDevice(printer.fdo), STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION selected = printer.extension()->InterfaceInfo;
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(selected->Protocol, 2);
    EXPECT_EQ(selected->NumberOfPipes, 2u);
    EXPECT_TRUE(printer.usb->configured());
    remove(printer);
    machine.usb().unplug(*printer.usb);
  }
}

TEST_F(UsbConfigurationTest, AUnidirectionalPrinterIsDrivenThroughItsOnlyInterface) {
  AddedPrinter printer = plugAndAdd(printerWith({printerInterface(0, 0, 1)}));
  ASSERT_EQ(PLMUSB_ConfigureDevice(printer.fdo), STATUS_SUCCESS);
  EXPECT_EQ(printer.extension()->InterfaceInfo->Protocol, 1);
  EXPECT_EQ(printer.extension()->InterfaceInfo->NumberOfPipes, 1u);
}

TEST_F(UsbConfigurationTest, ADeviceWithoutAPrinterInterfaceCannotBeConfigured) {
  nrv::UsbInterfaceDescription storage = printerInterface();
  storage.interfaceClass = 8;
  AddedPrinter printer = plugAndAdd(printerWith({storage}));
  EXPECT_EQ(PLMUSB_ConfigureDevice(printer.fdo), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(printer.extension()->InterfaceInfo, nullptr);
  EXPECT_FALSE(printer.usb->configured());
}

TEST_F(UsbConfigurationTest, AShortConfigurationIsReadOnceALongOneTwice) {
  AddedPrinter shortOne = plugAndAdd();
  ASSERT_EQ(PLMUSB_ConfigureDevice(shortOne.fdo), STATUS_SUCCESS);
  ASSERT_EQ(configurationReads(shortOne).size(), 1u);
  EXPECT_EQ(configurationReads(shortOne)[0].length, 521);

  nrv::UsbInterfaceDescription padded = printerInterface();
  padded.classDescriptors.push_back(nrv::makeDescriptor(0x21, 255));
  padded.classDescriptors.push_back(nrv::makeDescriptor(0x21, 255));
  nrv::PrinterConfig config = printerWith({padded});
  config.usb.serialNumber = u"NRV0002";
  AddedPrinter longOne = plugAndAdd(config);
  ASSERT_EQ(PLMUSB_ConfigureDevice(longOne.fdo), STATUS_SUCCESS);
  std::vector<nrv::UsbRequestRecord> reads = configurationReads(longOne);
  ASSERT_EQ(reads.size(), 2u);
  USHORT total = longOne.extension()->ConfigurationDescriptor->wTotalLength;
  EXPECT_GT(total, 521);
  EXPECT_EQ(reads[0].length, 521);
  EXPECT_EQ(reads[1].length, total);
}

// A device that never stops growing its configuration is not read for ever,
// and one that delivers less than it announces is not parsed.
TEST_F(UsbConfigurationTest, ADescriptorThatIsNotDeliveredWholeFailsTheConfiguration) {
  std::vector<UCHAR> broken = {9, 2, 0x00, 0x10, 1, 1, 0, 0x80, 50};  // claims 4096 bytes, has 9
  nrv::PrinterConfig config;
  config.usb.configurationOverride = broken;
  AddedPrinter printer = plugAndAdd(config);
  EXPECT_EQ(PLMUSB_ConfigureDevice(printer.fdo), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(printer.extension()->ConfigurationDescriptor, nullptr);
  EXPECT_EQ(configurationReads(printer).size(), 2u);
}

TEST_F(UsbConfigurationTest, EveryPipeCarriesTheMaximumTransferSizeAndIsClosed) {
  nrv::UsbDevice& usb = plug();
  machine.registry().setDword(driverKey(usb), u"MaxTransferSize", 8192);
  AddedPrinter printer = add(usb);
  ASSERT_EQ(PLMUSB_ConfigureDevice(printer.fdo), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION selected = printer.extension()->InterfaceInfo;
  selected->Pipes[0].PipeFlags = 1;

  ASSERT_EQ(PLMUSB_SelectInterface(printer.fdo, printer.extension()->ConfigurationDescriptor, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(printer.extension()->InterfaceInfo, selected) << "a new selection reuses the record";
  for (ULONG index = 0; index < selected->NumberOfPipes; index++) {
    EXPECT_EQ(selected->Pipes[index].MaximumTransferSize, 8192u);
    EXPECT_EQ(selected->Pipes[index].PipeFlags, 0u);
    EXPECT_NE(selected->Pipes[index].PipeHandle, nullptr);
  }
  EXPECT_EQ(printer.extension()->ConfigurationHandle, printer.usb->configurationHandle());
}

// A bus that holds the request until it is cancelled.
class HeldRequestTest : public PrinterOnBusTest {
 protected:
  static VOID cancelHeld(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }

  void holdRequests(const AddedPrinter& printer) {
    printer.usb->physical().setHandler([this](PIRP irp) {
      held = irp;
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, cancelHeld);
      return STATUS_PENDING;
    });
  }

  PIRP held = nullptr;
};

TEST_F(HeldRequestTest, ATimedRequestIsCancelledAtItsLimitAndReturnsTheCancelledStatus) {
  AddedPrinter printer = plugAndAdd();
  holdRequests(printer);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                               0, 0, nullptr, nullptr, 0, nullptr);
  uint64_t start = machine.scheduler().nowMilliseconds();
  EXPECT_EQ(PLMUSB_CallUSBDTimed(printer.fdo, &urb, 1000), STATUS_CANCELLED);
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - start, 1000u);
  EXPECT_NE(held, nullptr);
}

TEST_F(HeldRequestTest, ATimedRequestAnsweredInTimeReturnsItsOwnStatus) {
  AddedPrinter printer = plugAndAdd();
  holdRequests(printer);
  machine.startThread("bus", [this] {
    machine.sleep(300);
    ASSERT_NE(IoSetCancelRoutine(held, nullptr), nullptr);
    held->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(held, IO_NO_INCREMENT);
  });
  URB urb = {};
  EXPECT_EQ(PLMUSB_CallUSBDTimed(printer.fdo, &urb, 1000), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(machine.scheduler().nowMilliseconds(), 300u);
  machine.joinThreads();
}

TEST_F(UsbConfigurationTest, ARequestThatCannotBeBuiltFailsForLackOfResources) {
  AddedPrinter printer = plugAndAdd();
  URB urb = {};
  machine.faults().failNth(nrv::FaultKind::Irp, machine.faults().requests(nrv::FaultKind::Irp) + 1);
  EXPECT_EQ(PLMUSB_CallUSBD(printer.fdo, &urb), STATUS_INSUFFICIENT_RESOURCES);
  machine.faults().failNth(nrv::FaultKind::Irp, machine.faults().requests(nrv::FaultKind::Irp) + 1);
  EXPECT_EQ(PLMUSB_CallUSBDTimed(printer.fdo, &urb, 1000), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
