// The INF a function driver is installed with: printers it installs take the
// INF's class and driver key values, printers installed before keep theirs,
// and the binding outlives a restart and a machine kept in a folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "base/text.h"
#include "kernel/registry.h"
#include "machine/driver_services.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"

namespace {

using nrv::OsProfile;

constexpr char kClassGuid[] = "{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";

class DriverInf : public ::testing::TestWithParam<OsProfile> {
 public:
  bool win98() const { return GetParam() == OsProfile::Windows98; }
  nrv::DriverBinding binding() const {
    return {win98() ? "NRVUSB.INF" : "oem0.inf", "NrvUSBPrinter", kClassGuid, "NRV USB Printer"};
  }
  std::string driverImage() const { return win98() ? "SYSTEM\\NRVUSB.SYS" : "System32\\DRIVERS\\NRVUSB.SYS"; }
  // The driver's file and service, as the package's installation leaves them.
  void installDriverFile() {
    ASSERT_TRUE(machine->files().putModuleFile(machine->files().windowsDirectory() + "\\" + driverImage(),
                                               NRVUSB_MODULE));
    nrv::registerDriverService(machine->registry(), "NRVUSB", driverImage());
  }
  nrv::UsbDevice& plug(const char* serial) {
    nrv::PrinterConfig config;
    config.usb.serialNumber = nrv::toUtf16(serial);
    return machine->usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
  }
  std::u16string nodeKey(const nrv::UsbDevice& usb) const {
    return nrv::Registry::instanceKeyPath(GetParam(), usb.instancePath());
  }
  std::u16string driverKey(const nrv::UsbDevice& usb) const {
    return machine->registry().installedDriverKeyPath(GetParam(), usb.instancePath()).value_or(u"");
  }
  std::u16string classRoot() const {
    return win98() ? u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\"
                   : u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
  }
  std::u16string value(const std::u16string& key, const char16_t* name) const {
    return machine->registry().stringValue(key, name).value_or(u"(none)");
  }
  void expectInstalledFromTheInf(const nrv::UsbDevice& usb) {
    SCOPED_TRACE(nrv::toUtf8(usb.instancePath()));
    EXPECT_EQ(value(nodeKey(usb), u"Class"), u"NrvUSBPrinter");
    EXPECT_EQ(value(nodeKey(usb), u"ClassGUID"), win98() ? u"(none)" : nrv::toUtf16(kClassGuid));
    std::u16string key = driverKey(usb);
    EXPECT_EQ(key.rfind(classRoot() + (win98() ? u"NrvUSBPrinter\\" : nrv::toUtf16(kClassGuid) + u"\\"), 0),
              0u)
        << nrv::toUtf8(key);
    EXPECT_EQ(value(key, u"InfPath"), nrv::toUtf16(binding().infName));
    EXPECT_EQ(value(key, u"DriverDesc"), u"NRV USB Printer");
    EXPECT_EQ(value(key, u"ProviderName"), u"Norvo");
    std::u16string instance = usb.instancePath();
    EXPECT_EQ(value(key, u"MatchingDeviceId"), instance.substr(0, instance.rfind(u'\\')));
    // The driver found its options in that key and started the printer.
    EXPECT_EQ(machine->pnp().find(usb.pdo())->state, nrv::DeviceNodeState::Started);
  }

  std::unique_ptr<nrv::Machine> machine = std::make_unique<nrv::Machine>(nrv::MachineOptions{GetParam()});
};

TEST_P(DriverInf, PrintersPluggedAfterTheBindingAreInstalledFromItAndEarlierOnesKeepTheirKeys) {
  installDriverFile();
  ASSERT_NE(machine->loadFunctionDriver("NRVUSB").driver, nullptr);
  nrv::UsbDevice& before = plug("BEFORE");
  std::u16string beforeKey = driverKey(before);
  ASSERT_FALSE(beforeKey.empty()) << "the driver opened its driver key";

  machine->bindFunctionDriver(binding());
  nrv::UsbDevice& after = plug("AFTER");
  nrv::UsbDevice& second = plug("SECOND");
  expectInstalledFromTheInf(after);
  expectInstalledFromTheInf(second);
  EXPECT_NE(driverKey(after), driverKey(second)) << "each printer has a driver key of its own";

  EXPECT_EQ(value(nodeKey(before), u"Class"), u"USB");
  EXPECT_EQ(driverKey(before), beforeKey);
  EXPECT_EQ(value(beforeKey, u"InfPath"), u"(none)");
  // Unplugged and plugged again, it is still the node installed before.
  machine->usb().unplug(before);
  nrv::UsbDevice& again = plug("BEFORE");
  EXPECT_EQ(driverKey(again), beforeKey);
  EXPECT_EQ(value(nodeKey(again), u"Class"), u"USB");
  EXPECT_EQ(value(beforeKey, u"InfPath"), u"(none)");
}

TEST_P(DriverInf, WithoutABindingPrintersStayInTheUsbClass) {
  installDriverFile();
  ASSERT_NE(machine->loadFunctionDriver("NRVUSB").driver, nullptr);
  nrv::UsbDevice& usb = plug("PLAIN");
  EXPECT_EQ(value(nodeKey(usb), u"Class"), u"USB");
  EXPECT_EQ(driverKey(usb).rfind(
                classRoot() + (win98() ? u"USB\\" : u"{36fc9e60-c465-11cf-8056-444553540000}\\"), 0),
            0u);
  EXPECT_EQ(value(driverKey(usb), u"InfPath"), u"(none)");
}

TEST_P(DriverInf, TheBindingOutlivesARestart) {
  installDriverFile();
  ASSERT_NE(machine->loadFunctionDriver("NRVUSB", binding()).driver, nullptr);
  nrv::UsbDevice& first = plug("FIRST");
  expectInstalledFromTheInf(first);
  std::u16string firstKey = driverKey(first);
  std::u16string firstPath = first.instancePath();

  nrv::MachineState state = machine->shutDown();
  ASSERT_EQ(state.functionDriverBinding, binding());
  machine.reset();
  machine = std::make_unique<nrv::Machine>(state);
  ASSERT_NE(machine->start().driver.driver, nullptr) << machine->start().driver.failure;
  nrv::UsbDevice& later = plug("LATER");
  expectInstalledFromTheInf(later);
  EXPECT_NE(driverKey(later), firstKey);
  EXPECT_EQ(machine->registry().installedDriverKeyPath(GetParam(), firstPath), firstKey);
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, DriverInf,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<OsProfile>& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

namespace fs = std::filesystem;

TEST(DriverInfFolder, TheBindingIsKeptInTheManifestAndADamagedOneIsRefused) {
  fs::path folder = fs::temp_directory_path() / ("nrv-inf-" + std::to_string(getpid()));
  fs::remove_all(folder);
  nrv::MachineState saved = nrv::Machine().shutDown();
  saved.functionDriverService = "NRVUSB";
  saved.functionDriverBinding =
      nrv::DriverBinding{"oem0.inf", "NrvUSBPrinter", kClassGuid, "Caf\xC3\xA9 \"1\""};
  std::string error;
  ASSERT_TRUE(nrv::saveMachine(saved, folder.string(), &error)) << error;
  nrv::MachineState loaded;
  ASSERT_TRUE(nrv::loadMachine(folder.string(), &loaded, &error)) << error;
  EXPECT_EQ(loaded.functionDriverBinding, saved.functionDriverBinding);

  auto manifestWith = [&](const std::string& line) {
    std::ofstream(folder / "machine.txt", std::ios::trunc) << "nrv machine 1\nprofile 2000\n" << line;
    nrv::MachineState state;
    std::string refused;
    EXPECT_FALSE(nrv::loadMachine(folder.string(), &state, &refused));
    return refused.substr(refused.rfind('/') + 1);
  };
  EXPECT_EQ(manifestWith("driver \"NRVUSB\"\ninf \"oem0.inf\" \"NrvUSBPrinter\"\n"),
            "machine.txt:4: inf takes the quoted INF file, class name, class GUID, description and provider");
  EXPECT_EQ(manifestWith("inf \"a.inf\" \"C\" \"{}\" \"D\" \"P\"\n"),
            "machine.txt: an inf is given without the driver it installed");
  fs::remove_all(folder);
}

}  // namespace
