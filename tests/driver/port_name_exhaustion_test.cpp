// Every numbered port name of the prefix carried by a printer present: a
// further printer cannot be named. It is refused I/O, reports no child and
// keeps no stale name until a name comes free, and then it is named at once.
// A bus has 127 addresses: the 127 named printers fill the first host
// controller's bus, and the printers that wait are on a second one.
#include <string>

#include "printer_on_bus.h"
#include "usbprn_ioctl.h"

namespace {

using nrv::DeviceNode;

// Windows 98 keeps the description in the device key, so it can be seen to follow the name.
class PortNameExhaustionTest : public PrinterOnBusTest {
 protected:
  PortNameExhaustionTest() : PrinterOnBusTest(nrv::OsProfile::Windows98), secondBus(machine.addUsbBus()) {
    machine.pnp().setFunctionDriver(&driver->object);
  }

  static nrv::PrinterConfig printerWithSerial(const std::u16string& serial) {
    nrv::PrinterConfig config;
    config.usb.serialNumber = serial;
    return config;
  }

  // Fills the first bus, taking every numbered name.
  std::vector<nrv::UsbDevice*> plugNamedPrinters() {
    std::vector<nrv::UsbDevice*> named;
    for (int number = 1; number <= 127; number++) {
      named.push_back(&plug(printerWithSerial(u"P" + nrv::toUtf16(std::to_string(number)))));
    }
    EXPECT_EQ(portName(*named[126]), "NRVUSB127:");
    return named;
  }

  nrv::UsbDevice& plugLate(const std::u16string& serial) { return secondBus.plugPrinter(printerWithSerial(serial)); }

  DeviceNode& node(nrv::UsbDevice& usb) { return *machine.pnp().find(usb.pdo()); }
  PDeviceExtension extension(nrv::UsbDevice& usb) { return PLMUSB_Extension(usb.pdo()->AttachedDevice); }
  std::string portName(nrv::UsbDevice& usb) { return stringValue(deviceKey(usb), u"PortName"); }

  NTSTATUS open(nrv::UsbDevice& usb, PFILE_OBJECT* file) {
    return machine.io().open(reinterpret_cast<const char16_t*>(extension(usb)->InterfaceLinkName), u"", file);
  }

  void expectWaiting(nrv::UsbDevice& usb) {
    EXPECT_EQ(node(usb).state, nrv::DeviceNodeState::Started);
    EXPECT_EQ(portName(usb), "") << "no stale name another printer now carries";
    EXPECT_TRUE(node(usb).children.empty());
    EXPECT_EQ(extension(usb)->ChildDevice, nullptr);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(open(usb, &file), STATUS_INVALID_DEVICE_STATE);
  }

  void expectNamed(nrv::UsbDevice& usb, const std::string& name) {
    EXPECT_EQ(portName(usb), name);
    std::string description = stringValue(deviceKey(usb), u"DeviceDesc");
    EXPECT_EQ(description.substr(description.find('(')), "(" + name + ")") << description;
    ASSERT_EQ(node(usb).children.size(), 1u) << "the child appears once the printer is named";
    EXPECT_EQ(nrv::toUtf8(node(usb).children.front()->instanceId), name);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(open(usb, &file), STATUS_SUCCESS);
    std::vector<UCHAR> data(64, 0x21);
    EXPECT_EQ(machine.io().write(file, data.data(), 64).status.Information, 64u);
    machine.io().close(file);
  }

  nrv::UsbBus& secondBus;
};

// 127 printers take every name; two more wait, and each freed name goes to the
// one that has waited longest.
TEST_F(PortNameExhaustionTest, APrinterWithoutAFreeNameWaitsAndIsNamedWhenOneComesFree) {
  std::vector<nrv::UsbDevice*> named = plugNamedPrinters();

  // The first waiting printer had a name stored that a printer present carries now.
  std::u16string firstKey = nrv::Registry::deviceKeyPath(machine.profile(), u"USB\\VID_0A5F&PID_0027\\LATE1");
  machine.registry().setString(firstKey, u"PortName", u"NRVUSB005:");
  machine.registry().setString(firstKey, u"DeviceDesc", u"USB Printing Support (NRVUSB005:)");
  nrv::UsbDevice& first = plugLate(u"LATE1");
  nrv::UsbDevice& second = plugLate(u"LATE2");
  expectWaiting(first);
  expectWaiting(second);
  EXPECT_EQ(portName(*named[4]), "NRVUSB005:") << "the printer present keeps its name";

  machine.usb().unplug(*named[41]);
  expectNamed(first, "NRVUSB042:");
  expectWaiting(second);

  ASSERT_EQ(machine.usb().removeSafely(*named[0]), STATUS_SUCCESS);
  expectNamed(second, "NRVUSB001:");

  // A waiting printer that goes frees nothing, and a named one that goes frees its name for the next printer.
  secondBus.unplug(first);
  EXPECT_EQ(portName(plugLate(u"LATE3")), "NRVUSB042:");
}

// A name is given in one step or not at all: a waiting printer whose device key
// cannot be opened goes on waiting, also across a restart, and takes the next
// name that comes free.
TEST_F(PortNameExhaustionTest, APrinterThatCannotRecordItsNameGoesOnWaiting) {
  std::vector<nrv::UsbDevice*> named = plugNamedPrinters();
  nrv::UsbDevice& late = plugLate(u"LATE1");
  ASSERT_EQ(machine.pnp().rebalance(node(late)), STATUS_SUCCESS);
  expectWaiting(late);

  machine.faults().failTag(nrv::kRegistryKeyTag);
  machine.usb().unplug(*named[10]);
  machine.faults().clear();
  expectWaiting(late);

  machine.usb().unplug(*named[20]);
  expectNamed(late, "NRVUSB011:");
  EXPECT_EQ(portName(plugLate(u"LATE2")), "NRVUSB021:");
}

}  // namespace
