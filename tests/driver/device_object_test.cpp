// Creating the printer FDO: options from the driver key, the port name from the
// device key, and the description that shows it.
#include "printer_on_bus.h"

namespace {

using DeviceObjectTest = PrinterOnBusTest;

class Windows98DeviceObjectTest : public PrinterOnBusTest {
 protected:
  Windows98DeviceObjectTest() : PrinterOnBusTest(nrv::OsProfile::Windows98) {}
};

TEST_F(DeviceObjectTest, AnEmptyRegistryGivesTheDefaults) {
  AddedPrinter printer = plugAndAdd();
  ASSERT_EQ(printer.status, STATUS_SUCCESS);
  EXPECT_EQ(printer.portName, "NRVUSB001:");
  PDeviceExtension extension = printer.extension();
  EXPECT_EQ(extension->AltInterface, 2);
  EXPECT_EQ(extension->MaxTransferSize, 0x10000u);
  EXPECT_EQ(extension->DeviceType, 0);
  EXPECT_EQ(extension->PrinterClassOptions, 0);
  EXPECT_EQ(extension->ChildDevice, nullptr);
  EXPECT_NE(machine.interfaces().findEnabled(reinterpret_cast<const char16_t*>(extension->InterfaceLinkName)), nullptr);

  // The name is stored as text without a terminating NUL.
  std::optional<nrv::RegistryValue> stored = machine.registry().value(deviceKey(*printer.usb), u"PortName");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(stored->bytes.size(), 10u * sizeof(char16_t));
}

TEST_F(DeviceObjectTest, OptionsFollowTheirRules) {
  nrv::UsbDevice& usb = plug();
  nrv::Registry& registry = machine.registry();
  std::u16string key = driverKey(usb);
  registry.setValue(key, u"AltInterface", REG_BINARY, {3});  // above 2: the default
  registry.setDword(key, u"DeviceType", 1);                  // only the first byte counts
  registry.setDword(key, u"MaxTransferSize", 4096);
  registry.setValue(key, u"PrinterClassOptions", REG_BINARY, {1});
  registry.setString(key, u"EnumName", u"LPTUSB");
  AddedPrinter printer = add(usb);
  ASSERT_EQ(printer.status, STATUS_SUCCESS);
  EXPECT_EQ(printer.portName, "LPTUSB001:");
  EXPECT_EQ(printer.extension()->AltInterface, 2);
  EXPECT_EQ(printer.extension()->DeviceType, 1);
  EXPECT_EQ(printer.extension()->MaxTransferSize, 4096u);
  EXPECT_EQ(printer.extension()->PrinterClassOptions, 1);
}

TEST_F(DeviceObjectTest, OutOfRangeAndUnusableValuesGiveTheDefaults) {
  nrv::UsbDevice& usb = plug();
  nrv::Registry& registry = machine.registry();
  std::u16string key = driverKey(usb);
  registry.setValue(key, u"DeviceType", REG_BINARY, {2});
  registry.setValue(key, u"AltInterface", REG_BINARY, {});
  registry.setString(key, u"EnumName", u"");
  AddedPrinter printer = add(usb);
  EXPECT_EQ(printer.extension()->DeviceType, 0);
  EXPECT_EQ(printer.extension()->AltInterface, 2);
  EXPECT_EQ(printer.portName, "NRVUSB001:");
}

// A prefix must leave room for the number and the colon in 35 characters.
TEST_F(DeviceObjectTest, APrefixTooLongForAPortNameIsNotUsed) {
  nrv::UsbDevice& first = plug();
  machine.registry().setString(driverKey(first), u"EnumName", std::u16string(31, u'P'));
  AddedPrinter printer = add(first);
  EXPECT_EQ(printer.portName, std::string(31, 'P') + "001:");

  nrv::PrinterConfig other;
  other.usb.serialNumber = u"NRV0002";
  nrv::UsbDevice& second = plug(other);
  machine.registry().setString(driverKey(second), u"EnumName", std::u16string(32, u'Q'));
  EXPECT_EQ(add(second).portName, "NRVUSB001:");
}

TEST_F(DeviceObjectTest, AStoredNameIsKeptUnlessAnotherPrinterCarriesIt) {
  nrv::UsbDevice& first = plug();
  machine.registry().setString(deviceKey(first), u"PortName", u"NRVUSB007:");
  EXPECT_EQ(add(first).portName, "NRVUSB007:");

  nrv::PrinterConfig config;
  config.usb.serialNumber = u"NRV0002";
  nrv::UsbDevice& second = plug(config);
  machine.registry().setString(deviceKey(second), u"PortName", u"NRVUSB007:");
  AddedPrinter printer = add(second);
  EXPECT_EQ(printer.portName, "NRVUSB001:");
  EXPECT_EQ(stringValue(deviceKey(second), u"PortName"), "NRVUSB001:");
}

TEST_F(DeviceObjectTest, AStoredNameLongerThanAnyPortNameIsReplaced) {
  nrv::UsbDevice& usb = plug();
  machine.registry().setString(deviceKey(usb), u"PortName", std::u16string(36, u'X'));
  EXPECT_EQ(add(usb).portName, "NRVUSB001:");
}

TEST_F(DeviceObjectTest, NamesComeFreeWhenPrintersGoAndReturnToTheirOwners) {
  nrv::PrinterConfig noSerial;
  noSerial.usb.serialNumber.reset();
  AddedPrinter first = plugAndAdd(noSerial);
  AddedPrinter second = plugAndAdd(noSerial);
  EXPECT_EQ(first.portName, "NRVUSB001:");
  EXPECT_EQ(second.portName, "NRVUSB002:");

  nrv::UsbDevice* firstUsb = first.usb;
  remove(first);
  AddedPrinter again = add(*firstUsb);
  EXPECT_EQ(again.portName, "NRVUSB001:");
}

TEST_F(DeviceObjectTest, WithoutRegistryKeysTheDefaultsStandAndThePortNameIsEmpty) {
  nrv::UsbDevice& usb = plug();
  machine.faults().failTag(nrv::kRegistryKeyTag);
  AddedPrinter printer = add(usb);
  machine.faults().clear();
  ASSERT_EQ(printer.status, STATUS_SUCCESS);
  EXPECT_EQ(printer.portName, "");
  EXPECT_EQ(printer.extension()->MaxTransferSize, 0x10000u);
  EXPECT_FALSE(machine.registry().value(deviceKey(usb), u"PortName").has_value());
}

TEST_F(DeviceObjectTest, TheSerialNumberMarkerIsOneByte) {
  AddedPrinter printer = plugAndAdd();
  for (UCHAR index : {0, 3}) {
    ASSERT_TRUE(PLMUSB_SetSerialRegValue(printer.fdo, index));
    std::optional<nrv::RegistryValue> marker = machine.registry().value(deviceKey(*printer.usb), u"SerialNumberFound");
    ASSERT_TRUE(marker.has_value());
    EXPECT_EQ(marker->type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(marker->bytes, std::vector<uint8_t>{static_cast<uint8_t>(index != 0)});
  }
}

// On Windows 98 the device key is the instance key, which holds the description.
TEST_F(Windows98DeviceObjectTest, TheDescriptionEndsInThePortName) {
  struct Case {
    std::u16string stored;
    std::string expected;
  };
  const Case cases[] = {
      {u"USB Printer", "USB Printer(NRVUSB001:)"},
      {u"USB Printer (NRVUSB009:)", "USB Printer (NRVUSB001:)"},
      {u"USB Printer (one) (two)", "USB Printer (NRVUSB001:)"},
      {u"", "(NRVUSB001:)"},
  };
  for (const Case& c : cases) {
    nrv::UsbDevice& usb = plug();
    machine.registry().setString(deviceKey(usb), u"DeviceDesc", c.stored);
    AddedPrinter printer = add(usb);
    EXPECT_EQ(stringValue(deviceKey(usb), u"DeviceDesc"), c.expected) << nrv::toUtf8(c.stored);
    remove(printer);
    machine.usb().unplug(usb);
  }
}

TEST_F(DeviceObjectTest, OnWindows2000TheDescriptionOutsideTheDeviceKeyIsLeftAlone) {
  AddedPrinter printer = plugAndAdd();
  std::u16string instanceKey = nrv::Registry::instanceKeyPath(machine.profile(), printer.usb->instancePath());
  EXPECT_EQ(stringValue(instanceKey, u"DeviceDesc"), "USB Printing Support");
}

}  // namespace
