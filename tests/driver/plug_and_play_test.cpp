// Printers plugged into a machine where the driver is installed: the Plug and
// Play manager adds, starts, enumerates, stops and removes them.
#include <set>

#include "printer_on_bus.h"
#include "usbprn_ioctl.h"

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

  // The instance path a printer with this serial number will have, for its keys before it is plugged.
  static std::u16string instancePath(const std::u16string& serial) {
    return u"USB\\VID_0A5F&PID_0027\\" + serial;
  }

  // The control transfers of one kind the printer has seen, by their position in its log.
  static std::vector<size_t> positionsOf(const nrv::UsbDevice& usb, UCHAR requestType, UCHAR request) {
    std::vector<size_t> found;
    std::vector<nrv::UsbRequestRecord> log = usb.log();
    for (size_t index = 0; index < log.size(); index++) {
      if (log[index].requestType == requestType && log[index].request == request) found.push_back(index);
    }
    return found;
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

// A relations list another driver left in the request, with a reference on the physical device.
PDEVICE_RELATIONS earlierRelations(PDEVICE_OBJECT device) {
  auto* earlier =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x74736554));
  earlier->Count = 1;
  earlier->Objects[0] = device;
  ObReferenceObject(device);
  return earlier;
}

// A failed query is not looked at for its list: the list handed in is released, not lost.
TEST_F(PlugAndPlayTest, AChildThatCannotBeCreatedFailsBusRelationsAndReleasesAnEarlierList) {
  nrv::PrinterConfig config;
  config.deviceId = {0x00, 0x02};
  nrv::UsbDevice& usb = plug(config);
  ASSERT_EQ(extension(usb)->ChildDevice, nullptr);
  machine.registry().setString(deviceKey(usb), u"DeviceID", u"MFG:ABC;MDL:P100;");
  PDEVICE_RELATIONS earlier = earlierRelations(usb.pdo());
  machine.faults().failTag(0x69766544);  // the machine's tag of device objects: no child can be made
  nrv::IrpOutcome outcome = machine.io().call(
      fdo(usb), IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, nullptr, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(earlier);
      });
  machine.faults().clear();
  EXPECT_EQ(outcome.status.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(outcome.status.Information, 0u);
  EXPECT_FALSE(machine.pool().isLive(earlier)) << "the earlier list leaked";
  EXPECT_EQ(extension(usb)->ChildDevice, nullptr);
  EXPECT_EQ(extension(usb)->IoCount, 1);
}

// Every failed identifier query of the child answers no text: its information is 0.
TEST_F(PlugAndPlayTest, AFailedIdentifierQueryOfTheChildCarriesNoInformation) {
  nrv::UsbDevice& usb = plug(printerWithId("MFG:ABC;CLS:PRINTER;"));
  PDEVICE_OBJECT child = extension(usb)->ChildDevice;
  ASSERT_NE(child, nullptr);
  for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryHardwareIDs, BusQueryInstanceID}) {
    nrv::IrpOutcome outcome = machine.io().call(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, nullptr,
                                                [type](PIRP irp, PIO_STACK_LOCATION stack) {
                                                  stack->Parameters.QueryId.IdType = type;
                                                  irp->IoStatus.Information = 0x5EAF00D;
                                                });
    EXPECT_EQ(outcome.status.Status, STATUS_NOT_SUPPORTED) << type;
    EXPECT_EQ(outcome.status.Information, 0u) << type;
  }
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

// Whatever it waits for (the bus, a request sent down, a cancel, the last
// request before remove, a power change), the driver gives one wait reason.
TEST_F(PlugAndPlayTest, EveryWaitOfTheDriverGivesTheSameReason) {
  nrv::UsbDevice& usb = plug();
  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> data(150000, 0x5A);
  std::unique_ptr<nrv::PendingRequest> writing = startHeldWrite(usb, file, data, 2);
  UCHAR selector = USBPRN_PIPE_BULK_OUT;
  machine.io().deviceControl(file, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, &selector, 1, nullptr, 0);
  writing.reset();
  machine.io().close(file);
  machine.power().setSystemPower(PowerSystemSleeping3, {usb.pdo()});
  machine.power().setSystemPower(PowerSystemWorking, {usb.pdo()});
  EXPECT_EQ(machine.usb().removeSafely(usb), STATUS_SUCCESS);
  EXPECT_EQ(machine.waits().reasonsOf(&driver->object), std::set<KWAIT_REASON>{Suspended});
}

// Real printers report IDs of 300 to 1000 characters; the stored ID is read
// whole wherever the driver reads it. The model and description come last here,
// where a cut text would lose them.
TEST_F(PlugAndPlayTest, ALongDeviceIdIsReadWholeEverywhere) {
  std::string prefix = "MFG:ABC;CMD:";
  std::string suffix = ";MDL:P100;DES:ABC Long P100;";
  std::string id = prefix + std::string(1000 - prefix.size() - suffix.size(), 'C') + suffix;
  ASSERT_EQ(id.size(), 1000u);
  nrv::UsbDevice& usb = plug(printerWithId(id));
  EXPECT_EQ(stringValue(deviceKey(usb), u"DeviceID"), id);

  DeviceNode& printer = node(usb);
  ASSERT_EQ(printer.children.size(), 1u) << "the printer reports its child";
  DeviceNode& child = *printer.children.front();
  EXPECT_EQ(child.deviceId, u"LPTENUM\\ABCP100F2EE");
  EXPECT_EQ(child.compatibleIds, std::vector<std::u16string>{u"ABCP100F2EE"});
  EXPECT_EQ(child.description, u"ABC Long P100");

  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> text(1024);
  nrv::IrpOutcome internal =
      machine.io().deviceControl(file, IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID, nullptr, 0, text.data(), 1024);
  EXPECT_EQ(internal.status.Status, STATUS_SUCCESS);
  ASSERT_EQ(internal.status.Information, id.size());
  EXPECT_EQ(std::string(text.begin(), text.begin() + 1000), id);
  machine.io().close(file);

  usb.model().clearLog();
  machine.pnp().enumerate(printer);
  EXPECT_TRUE(positionsOf(usb, 0xA1, nrv::kPrinterGetDeviceId).empty())
      << "the stored ID is not fetched again";
  EXPECT_EQ(printer.children.size(), 1u);
}

// A stored value larger than any the driver writes (another program's doing)
// counts as missing, so the ID is fetched from the printer again.
TEST_F(PlugAndPlayTest, AStoredIdLongerThanAnyTheDriverWritesIsFetchedAgain) {
  nrv::UsbDevice& usb = plug(printerWithId("MFG:ABC;MDL:P100;"));
  machine.registry().setString(deviceKey(usb), u"DeviceID", std::u16string(3000, u'Z'));
  usb.model().clearLog();
  machine.pnp().enumerate(node(usb));
  EXPECT_EQ(positionsOf(usb, 0xA1, nrv::kPrinterGetDeviceId).size(), 1u);
  EXPECT_EQ(stringValue(deviceKey(usb), u"DeviceID"), "MFG:ABC;MDL:P100;");
  EXPECT_EQ(node(usb).children.size(), 1u);
}

// The register is written after the start has been completed, after the
// configuration and before the device ID is fetched, whether the start
// succeeded or not.
TEST_F(PlugAndPlayTest, APrinterWithARegisterHasItWrittenAfterEveryStartFailedOrNot) {
  for (bool hasPrinterInterface : {true, false}) {
    std::u16string serial = hasPrinterInterface ? u"REG1" : u"REG2";
    machine.registry().setDword(machine.registry().driverKeyPath(machine.profile(), instancePath(serial)),
                                u"DeviceType", 1);
    nrv::PrinterConfig config = printerWithId("MFG:ABC;MDL:P100;");
    config.usb.serialNumber = serial;
    if (!hasPrinterInterface) config.usb.interfaces.front().interfaceClass = 3;
    nrv::UsbDevice& usb = plug(config);
    EXPECT_EQ(node(usb).startStatus, hasPrinterInterface ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES);

    std::vector<size_t> writes = positionsOf(usb, 0x40, 4);
    std::vector<size_t> fetches = positionsOf(usb, 0xA1, nrv::kPrinterGetDeviceId);
    ASSERT_EQ(writes.size(), 1u) << "with a printer interface: " << hasPrinterInterface;
    ASSERT_FALSE(fetches.empty());
    EXPECT_LT(writes[0], fetches[0]);
    nrv::UsbRequestRecord written = usb.log()[writes[0]];
    EXPECT_EQ(written.value, 0x0803);
    EXPECT_EQ(written.index, 0);
    EXPECT_EQ(written.urbFunction, URB_FUNCTION_VENDOR_DEVICE);
    std::vector<size_t> configured = positionsOf(usb, 0x00, nrv::kUsbSetConfiguration);
    EXPECT_EQ(configured.empty(), !hasPrinterInterface);
    if (!configured.empty()) {
      EXPECT_LT(configured.back(), writes[0]);
    }
  }
}

TEST_F(PlugAndPlayTest, QueryRemoveRefusesIoUntilCancelRemove) {
  nrv::UsbDevice& usb = plug();
  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> data(10, 0x5A);
  std::u16string link = reinterpret_cast<const char16_t*>(extension(usb)->InterfaceLinkName);

  ASSERT_EQ(machine.pnp().send(usb.pdo(), IRP_MN_QUERY_REMOVE_DEVICE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(machine.io().write(file, data.data(), 10).status.Status, STATUS_DELETE_PENDING);
  PFILE_OBJECT refused = nullptr;
  EXPECT_EQ(machine.io().open(link, u"", &refused), STATUS_DELETE_PENDING);
  UCHAR version[8];
  EXPECT_EQ(machine.io().deviceControl(file, IOCTL_USBPRN_GET_VERSION, nullptr, 0, version, 8).status.Status,
            STATUS_DELETE_PENDING);

  ASSERT_EQ(machine.pnp().send(usb.pdo(), IRP_MN_CANCEL_REMOVE_DEVICE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(machine.io().write(file, data.data(), 10).status.Information, 10u);
  EXPECT_EQ(machine.io().deviceControl(file, IOCTL_USBPRN_GET_VERSION, nullptr, 0, version, 8).status.Status,
            STATUS_SUCCESS);
  machine.io().close(open(usb));
  machine.sleep(1);
  EXPECT_EQ(extension(usb)->IoCount, 1);
  EXPECT_EQ(node(usb).state, DeviceNodeState::Started);
}

// The bus below fails to unconfigure the printer: the stop is completed with
// that status and not passed down, and the printer goes on running.
TEST_F(PlugAndPlayTest, AStopWhoseUnconfigureFailsLeavesThePrinterRunning) {
  nrv::UsbDevice& usb = plug();
  usb.physical().setHandler([&usb](PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
        urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
        urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr) {
      return usb.dispatch(irp);
    }
    urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_DATA_ERROR;
  });
  size_t seen = usb.physical().requests().size();

  EXPECT_EQ(machine.pnp().rebalance(node(usb)), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(node(usb).state, DeviceNodeState::Started);
  EXPECT_TRUE(extension(usb)->DeviceStarted);
  EXPECT_FALSE(extension(usb)->StopPending);
  EXPECT_TRUE(usb.configured());
  std::vector<nrv::SeenRequest> requests = usb.physical().requests();
  for (size_t index = seen; index < requests.size(); index++) {
    EXPECT_FALSE(requests[index].majorFunction == IRP_MJ_PNP &&
                 requests[index].minorFunction == IRP_MN_STOP_DEVICE)
        << "the failed stop went down";
  }
  PFILE_OBJECT file = open(usb);
  std::vector<UCHAR> data(100, 0x33);
  EXPECT_EQ(machine.io().write(file, data.data(), 100).status.Information, 100u);
  machine.io().close(file);
}

// Whatever wake capabilities the bus reports, the printer and its child report none.
TEST_F(PlugAndPlayTest, WakeCapabilitiesOfTheBusAreOverridden) {
  nrv::UsbDevice& usb = plug();
  PDEVICE_OBJECT child = extension(usb)->ChildDevice;
  ASSERT_NE(child, nullptr);
  usb.physical().setHandler([&usb](PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_QUERY_CAPABILITIES) {
      return usb.dispatch(irp);
    }
    PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
    capabilities->SystemWake = PowerSystemSleeping3;
    capabilities->DeviceWake = PowerDeviceD2;
    capabilities->WakeFromD2 = TRUE;
    capabilities->DeviceD2 = TRUE;
    capabilities->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  for (PDEVICE_OBJECT device : {usb.pdo(), child}) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    EXPECT_EQ(machine.pnp().send(device, IRP_MN_QUERY_CAPABILITIES,
                                 [&capabilities](PIO_STACK_LOCATION stack) {
                                   stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
                                 }),
              STATUS_SUCCESS);
    EXPECT_EQ(capabilities.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(capabilities.DeviceWake, PowerDeviceUnspecified);
    EXPECT_TRUE(capabilities.SurpriseRemovalOK);
    EXPECT_TRUE(capabilities.DeviceD2) << "what the bus reported otherwise stays";
    EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
  }
}

}  // namespace
