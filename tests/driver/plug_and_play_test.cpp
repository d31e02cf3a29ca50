// Printers plugged into a machine where the driver is installed: the Plug and
// Play manager adds, starts, enumerates, stops and removes them.
#include "printer_on_bus.h"

namespace {

using nrv::DeviceNode;
using nrv::DeviceNodeState;

class PlugAndPlayTest : public PrinterOnBusTest {
 protected:
  PlugAndPlayTest() { machine.pnp().setFunctionDriver(&driver->object); }

  static nrv::PrinterConfig printerWithId(const std::string& deviceId, bool serial = true) {
    nrv::PrinterConfig config;
    config.deviceId = nrv::ieee1284DeviceId(deviceId);
    if (!serial) config.usb.serialNumber.reset();
    return config;
  }

  DeviceNode& node(nrv::UsbDevice& usb) { return *machine.pnp().find(usb.pdo()); }
  PDEVICE_OBJECT fdo(nrv::UsbDevice& usb) { return usb.pdo()->AttachedDevice; }
  PDeviceExtension extension(nrv::UsbDevice& usb) { return PLMUSB_Extension(fdo(usb)); }
  std::string portName(nrv::UsbDevice& usb) { return stringValue(deviceKey(usb), u"PortName"); }

  // Starts a write whose nth bulk OUT transfer the printer holds until it is cancelled.
  std::unique_ptr<nrv::PendingRequest> startHeldWrite(nrv::UsbDevice& usb, PFILE_OBJECT file,
                                                      const std::vector<UCHAR>& data, unsigned nth) {
    usb.model().holdBulkTransfer(0x01, nth);
    std::unique_ptr<nrv::PendingRequest> writing =
        machine.io().startWrite(file, data.data(), static_cast<ULONG>(data.size()));
    machine.sleep(1);
    return writing;
  }

  PFILE_OBJECT open(nrv::UsbDevice& usb) {
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(machine.io().open(reinterpret_cast<const char16_t*>(extension(usb)->InterfaceLinkName), u"", &file),
              STATUS_SUCCESS);
    return file;
  }
};

TEST_F(PlugAndPlayTest, APluggedPrinterIsStartedAndReportsItsChildAsAParallelPortPrinter) {
  nrv::UsbDevice& usb = plug(printerWithId("MFG:ABC;MDL:P100;CLS:PRINTER;"));
  DeviceNode& printer = node(usb);
  ASSERT_EQ(printer.state, DeviceNodeState::Started);
  EXPECT_TRUE(extension(usb)->DeviceStarted);
  EXPECT_EQ(extension(usb)->IoCount, 1) << "only the baseline while idle";
  EXPECT_TRUE(printer.capabilities.SurpriseRemovalOK);
  EXPECT_EQ(printer.capabilities.DeviceWake, PowerDeviceUnspecified);
  EXPECT_EQ(stringValue(deviceKey(usb), u"DeviceID"), "MFG:ABC;MDL:P100;CLS:PRINTER;");

  ASSERT_EQ(printer.children.size(), 1u);
  DeviceNode& child = *printer.children.front();
  EXPECT_EQ(child.deviceId, u"LPTENUM\\ABCP100F2EE");
  EXPECT_EQ(child.hardwareIds, std::vector<std::u16string>{u"LPTENUM\\ABCP100F2EE"});
  EXPECT_EQ(child.compatibleIds, std::vector<std::u16string>{u"ABCP100F2EE"});
  EXPECT_EQ(child.instanceId, u"NRVUSB001:");
  EXPECT_EQ(child.description, u"ABC P100");
  EXPECT_TRUE(child.capabilities.UniqueID && child.capabilities.RawDeviceOK && child.capabilities.SurpriseRemovalOK);
  EXPECT_EQ(child.state, DeviceNodeState::Started) << "a raw child runs without a driver";
  EXPECT_EQ(stringValue(nrv::Registry::deviceKeyPath(machine.profile(), child.instancePath), u"PortName"),
            "NRVUSB001:");

  // Asked again, the printer reports the same child and the references stay balanced.
  machine.pnp().enumerate(printer);
  EXPECT_EQ(printer.children.size(), 1u);
  EXPECT_EQ(machine.pnp().queryTargetDevice(printer), fdo(usb));
}

TEST_F(PlugAndPlayTest, TheChildTakesTheCompatibleAndDescriptionFieldsWhenThePrinterHasThem) {
  nrv::UsbDevice& usb = plug(printerWithId("MANUFACTURER:ABC;MODEL:P100;COMPATIBLE ID:GenericPCL;DES:ABC Laser P100;"));
  DeviceNode& child = *node(usb).children.front();
  EXPECT_EQ(child.compatibleIds, std::vector<std::u16string>{u"GenericPCL"});
  EXPECT_EQ(child.description, u"ABC Laser P100");

  // Manufacturer and model too long to keep whole (256 characters): the identifiers use what is kept.
  nrv::UsbDevice& verbose =
      plug(printerWithId("MFG:" + std::string(128, 'M') + ";MDL:" + std::string(128, 'X') + ";", false));
  ASSERT_EQ(node(verbose).children.size(), 1u);
  std::u16string verboseId = node(verbose).children.front()->deviceId;
  EXPECT_EQ(verboseId.size(), std::u16string(u"LPTENUM\\").size() + 20 + 4);
  EXPECT_EQ(verboseId.substr(8, 20), std::u16string(20, u'M'));

  nrv::UsbDevice& noModel = plug(printerWithId("MFG:ABC;CLS:PRINTER;", false));
  ASSERT_EQ(node(noModel).children.size(), 1u);
  DeviceNode& anonymous = *node(noModel).children.front();
  EXPECT_TRUE(anonymous.deviceId.empty()) << "no model, no identifiers";
  EXPECT_TRUE(anonymous.description.empty());
}

// A filter above may have named devices already: the child joins its list.
TEST_F(PlugAndPlayTest, AnEarlierBusRelationsListIsExtendedNotLost) {
  nrv::UsbDevice& usb = plug();
  auto* earlier = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x74736554));
  earlier->Count = 1;
  earlier->Objects[0] = usb.pdo();
  ObReferenceObject(usb.pdo());
  nrv::IrpOutcome outcome =
      machine.io().call(fdo(usb), IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, nullptr, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(earlier);
      });
  ASSERT_EQ(outcome.status.Status, STATUS_SUCCESS);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(outcome.status.Information);
  ASSERT_EQ(relations->Count, 2u);
  EXPECT_EQ(relations->Objects[0], usb.pdo());
  EXPECT_EQ(relations->Objects[1], extension(usb)->ChildDevice);
  for (ULONG index = 0; index < relations->Count; index++) ObDereferenceObject(relations->Objects[index]);
  ExFreePool(relations);
}

TEST_F(PlugAndPlayTest, PrintersWithoutSerialNumbersKeepTheirPortNamesAcrossAReplug) {
  nrv::UsbDevice* first = &plug(printerWithId("MFG:ABC;MDL:P100;", false));
  nrv::UsbDevice* second = &plug(printerWithId("MFG:ABC;MDL:P100;", false));
  EXPECT_EQ(portName(*first), "NRVUSB001:");
  EXPECT_EQ(portName(*second), "NRVUSB002:");
  machine.usb().unplug(*second);
  machine.usb().unplug(*first);
  first = &plug(printerWithId("MFG:ABC;MDL:P100;", false));
  second = &plug(printerWithId("MFG:ABC;MDL:P100;", false));
  EXPECT_EQ(portName(*first), "NRVUSB001:");
  EXPECT_EQ(portName(*second), "NRVUSB002:");
  EXPECT_EQ(node(*second).children.front()->instanceId, u"NRVUSB002:");
  machine.io().close(open(*second));  // its interface leads to the new stack
}

TEST_F(PlugAndPlayTest, APrinterWhoseStoredNameIsTakenGetsTheLowestFreeOne) {
  plug();
  nrv::PrinterConfig other;
  other.usb.serialNumber = u"OTHER1";
  std::u16string otherPath = u"USB\\VID_0A5F&PID_0027\\OTHER1";
  machine.registry().setString(nrv::Registry::deviceKeyPath(machine.profile(), otherPath), u"PortName",
                               u"NRVUSB001:");
  EXPECT_EQ(portName(plug(other)), "NRVUSB002:");
}

TEST_F(PlugAndPlayTest, APrinterWithoutAPrinterInterfaceFailsToStartYetHasItsDeviceIdStored) {
  nrv::PrinterConfig config = printerWithId("MFG:ABC;MDL:P100;");
  config.usb.interfaces.front().interfaceClass = 3;
  nrv::UsbDevice& usb = plug(config);
  EXPECT_EQ(node(usb).startStatus, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node(usb).state, DeviceNodeState::Enumerated) << "the stack of a failed start is removed";
  EXPECT_EQ(usb.pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(stringValue(deviceKey(usb), u"DeviceID"), "MFG:ABC;MDL:P100;");
}

TEST_F(PlugAndPlayTest, APrinterWithoutADeviceIdReportsNoChild) {
  nrv::PrinterConfig config;
  config.deviceId = {0x00, 0x02};
  nrv::UsbDevice& usb = plug(config);
  EXPECT_EQ(node(usb).state, DeviceNodeState::Started);
  EXPECT_TRUE(node(usb).children.empty());
  EXPECT_EQ(extension(usb)->ChildDevice, nullptr);
}

TEST_F(PlugAndPlayTest, QueryStopIsRefusedWhileATransferRunsAndARebalanceRestartsThePrinter) {
  nrv::UsbDevice& usb = plug();
  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> data(100, 0x5A);
  std::unique_ptr<nrv::PendingRequest> writing = startHeldWrite(usb, file, data, 1);
  EXPECT_EQ(machine.pnp().rebalance(node(usb)), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(PLMUSB_CanAcceptIoRequests(fdo(usb))) << "cancel-stop leaves it running";
  PLMUSB_CancelPendingIo(fdo(usb));
  ASSERT_TRUE(writing->wait());

  EXPECT_EQ(machine.pnp().rebalance(node(usb)), STATUS_SUCCESS);
  EXPECT_EQ(node(usb).state, DeviceNodeState::Started);
  EXPECT_EQ(machine.io().write(file, data.data(), 100).status.Information, 100u) << "configured again";
}

TEST_F(PlugAndPlayTest, SafeRemovalTakesTheChildAndTheStackAway) {
  nrv::UsbDevice& usb = plug();
  PDEVICE_OBJECT child = extension(usb)->ChildDevice;
  ASSERT_NE(child, nullptr);
  PFILE_OBJECT file = open(usb);
  EXPECT_EQ(machine.usb().removeSafely(usb), STATUS_DEVICE_BUSY) << "not taken away from under an open handle";
  EXPECT_EQ(node(usb).state, DeviceNodeState::Started);
  machine.io().close(file);
  EXPECT_EQ(machine.usb().removeSafely(usb), STATUS_SUCCESS);
  std::vector<PDEVICE_OBJECT> live = machine.devices().live();
  EXPECT_EQ(std::find(live.begin(), live.end(), child), live.end()) << "the parent's remove deletes the child";
  EXPECT_TRUE(machine.usb().devices().empty());
}

TEST_F(PlugAndPlayTest, SurpriseRemovalEndsAMultiTransferWriteAndTheRemoveWaitsForTheLastHandle) {
  nrv::UsbDevice& usb = plug();
  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> data(150000, 0x33);
  std::unique_ptr<nrv::PendingRequest> writing = startHeldWrite(usb, file, data, 2);
  PDEVICE_OBJECT printerFdo = fdo(usb);
  machine.usb().unplug(usb);
  ASSERT_TRUE(writing->completed());
  EXPECT_EQ(writing->status().Status, STATUS_SUCCESS);
  EXPECT_EQ(writing->status().Information, usb.model().outData().size());
  EXPECT_EQ(node(usb).state, DeviceNodeState::SurpriseRemoved);
  EXPECT_EQ(machine.io().write(file, data.data(), 10).status.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(PLMUSB_Extension(printerFdo)->IoCount, 1) << "the baseline only; remove waits for the handle";
  writing.reset();
  machine.io().close(file);
  EXPECT_TRUE(machine.usb().devices().empty()) << "removed once the last handle closed";
}

}  // namespace
