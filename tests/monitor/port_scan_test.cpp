// The scan behind every EnumPorts: every device that ever registered the
// driver's interface keeps a port; those plugged in now are described by
// their printer, the others are "USB Port Not Connected". Records are never
// dropped or reordered by a scan.
#include "base/text.h"
#include "monitor_machine.h"

namespace {

constexpr char kNotConnected[] = "USB Port Not Connected";
constexpr char kUnknown[] = "Unknown USB Printer";
constexpr char kLaser[] = "MFG:ABC;MDL:P100;DES:ABC P100 Laser;";

using PortScan = MonitorMachine;

// Port name -> description, in list order.
std::vector<std::pair<std::string, std::string>> described(const std::vector<nrv::PortRecord>& records) {
  std::vector<std::pair<std::string, std::string>> result;
  for (const nrv::PortRecord& record : records) result.emplace_back(record.name, record.description.value_or("(null)"));
  return result;
}

using Described = std::vector<std::pair<std::string, std::string>>;

TEST_F(PortScan, APortFollowsItsPrinterThroughUnplugAndReplug) {
  nrv::UsbDevice* printer = &plug(kLaser, "SN1");
  startMonitor();
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", "ABC P100 Laser"}}));
  unplug(*printer);
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", kNotConnected}}));
  printer = &plug(kLaser, "SN1");
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", "ABC P100 Laser"}}));
}

TEST_F(PortScan, APrinterInstalledEarlierButUnpluggedNowIsListedNotConnected) {
  unplug(plug(kLaser, "SN1"));
  startMonitor();
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", kNotConnected}}));
}

TEST_F(PortScan, ThePrinterIsCalledByItsDescriptionElseItsModel) {
  plug("MFG:ABC;MDL:P100;DES:ABC P100 Laser;", "SN1");
  plug("MFG:ABC;MDL:P100;", "SN2");
  plug("MFG:ABC;CMD:PCL;", "SN3");
  plug("MFG:ABC;MDL:P100;DES:;", "SN4");
  startMonitor();
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", "ABC P100 Laser"},
                                           {"NRVUSB002:", "P100"},
                                           {"NRVUSB003:", kUnknown},
                                           {"NRVUSB004:", kUnknown}}));
}

// An empty DESCRIPTION is found, so MODEL is not asked: a port keeps the last
// name its printer gave, or is unknown when it never had one.
TEST_F(PortScan, AnEmptyDescriptionKeepsTheLastNameThePrinterGave) {
  nrv::UsbDevice* named = &plug(kLaser, "SN1");
  unplug(plug(kLaser, "SN2"));
  startMonitor();
  ports();
  unplug(*named);
  named = &plug("MFG:ABC;MDL:P100;DES:;", "SN1");
  plug("MFG:ABC;MDL:P100;DES:;", "SN2");
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", "ABC P100 Laser"}, {"NRVUSB002:", kUnknown}}));
}

TEST_F(PortScan, ADeviceThatVanishedFromTheInterfaceClassStaysListed) {
  nrv::UsbDevice& printer = plug(kLaser, "SN1");
  std::u16string instance = printer.instancePath();
  startMonitor();
  unplug(printer);
  const std::u16string classes = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";
  int removed = 0;
  for (const std::u16string& interfaceClass : machine.registry().subkeys(classes)) {
    for (const std::u16string& device : machine.registry().subkeys(classes + u"\\" + interfaceClass)) {
      std::u16string key = classes + u"\\" + interfaceClass + u"\\" + device;
      if (machine.registry().stringValue(key, u"DeviceInstance") == instance) removed += machine.registry().deleteTree(key);
    }
  }
  ASSERT_EQ(removed, 1);
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", kNotConnected}}));
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", kNotConnected}}));
}

// Two devices whose port names differ only in case share one record.
TEST_F(PortScan, PortNamesThatDifferOnlyInCaseShareARecord) {
  plug(kLaser, "SN1");
  nrv::UsbDevice& second = plug("MFG:ABC;MDL:P200;", "SN2");
  machine.registry().setString(nrv::Registry::deviceKeyPath(machine.profile(), second.instancePath()),
                               u"PortName", u"nrvusb001:");
  startMonitor();
  std::vector<nrv::PortRecord> records = ports();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].name, "NRVUSB001:");
}

// A device without a usable port name is left out; the others are listed.
TEST_F(PortScan, ADeviceWhosePortNameCannotBeReadIsLeftOut) {
  nrv::UsbDevice& first = plug(kLaser, "SN1");
  nrv::UsbDevice& second = plug("MFG:ABC;MDL:P200;", "SN2");
  std::u16string firstKey = nrv::Registry::deviceKeyPath(machine.profile(), first.instancePath());
  std::u16string secondKey = nrv::Registry::deviceKeyPath(machine.profile(), second.instancePath());
  machine.registry().deleteValue(firstKey, u"PortName");
  machine.registry().setString(secondKey, u"PortName", std::u16string(64, u'N'));  // 65 bytes with the NUL
  startMonitor();
  EXPECT_TRUE(ports().empty());
  machine.registry().setString(secondKey, u"PortName", u"NRVUSB002:");
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB002:", "P200"}}));
}

// Without a readable device ID the printer is unknown.
TEST_F(PortScan, APrinterWithoutADeviceIdValueIsUnknown) {
  nrv::UsbDevice& printer = plug(kLaser, "SN1");
  machine.registry().deleteValue(nrv::Registry::deviceKeyPath(machine.profile(), printer.instancePath()),
                                 u"DeviceID");
  startMonitor();
  EXPECT_EQ(described(ports()), (Described{{"NRVUSB001:", kUnknown}}));
}

// Each record has a key under the spooler's Ports key, named without the colon.
TEST_F(PortScan, EveryPortGetsItsKeyUnderTheSpoolersPorts) {
  plug(kLaser, "SN1");
  plug(kLaser, "SN2");
  startMonitor();
  const std::u16string ports = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Ports";
  EXPECT_TRUE(machine.registry().keyExists(ports + u"\\NRVUSB001"));
  EXPECT_TRUE(machine.registry().keyExists(ports + u"\\NRVUSB002"));
  EXPECT_TRUE(machine.registry().values(ports + u"\\NRVUSB001").empty());
}

}  // namespace
