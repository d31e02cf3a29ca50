#include "cleanup_machine.h"

#include "base/text.h"
#include "machine/driver_services.h"
#include "usb/simulated_printer.h"

namespace {

const char* modulePathOf(SetupVariant variant) {
  return variant == SetupVariant::Installer ? CLEANIN_MODULE : CLEANUN_MODULE;
}

}  // namespace

CleanupBench::CleanupBench(nrv::OsProfile profile, SetupVariant variant)
    : machine(nrv::MachineOptions{profile}), process(machine.startProcess("setup")) {
  nrv::ProcessScope scope(process);
  std::string failure;
  module = process.loadModule(modulePathOf(variant), &failure);
  EXPECT_NE(module, nullptr) << failure;
}

CleanupBench::~CleanupBench() {
  if (module == nullptr) return;
  nrv::ProcessScope scope(process);
  process.unloadModule(*module);
}

void CleanupBench::loadDriver() {
  std::string imagePath =
      machine.profile() == nrv::OsProfile::Windows98 ? "SYSTEM\\NRVUSB.SYS" : "System32\\DRIVERS\\NRVUSB.SYS";
  ASSERT_TRUE(
      machine.files().putModuleFile(machine.files().windowsDirectory() + "\\" + imagePath, NRVUSB_MODULE));
  nrv::registerDriverService(machine.registry(), "NRVUSB", imagePath);
  nrv::DriverLoadResult loaded = machine.loadFunctionDriver("NRVUSB");
  ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
}

nrv::MachineState CleanupBench::shutDown() {
  if (module != nullptr) {
    nrv::ProcessScope scope(process);
    process.unloadModule(*module);
    module = nullptr;
  }
  return machine.shutDown();
}

void CleanupBench::startSpooler() {
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\NRVUSBMN.DLL", NRVUSBMN_MODULE);
  machine.registerMonitor("Norvo USB Printer Port Monitor", "NRVUSBMN.DLL");
  machine.startSpooler();
}

nrv::UsbDevice& CleanupBench::plug(const std::string& deviceId, const std::string& serial) {
  nrv::PrinterConfig config;
  config.deviceId = nrv::ieee1284DeviceId(deviceId);
  config.usb.serialNumber = nrv::toUtf16(serial);
  return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
}

void CleanupBench::unplug(nrv::UsbDevice& printer) { machine.usb().unplug(printer); }

std::string CleanupBench::portNameOf(const nrv::UsbDevice& printer) {
  std::u16string key = nrv::Registry::deviceKeyPath(machine.profile(), printer.instancePath());
  return nrv::toUtf8(machine.registry().stringValue(key, u"PortName").value_or(u""));
}

std::string CleanupBench::fileText(const std::string& path) {
  std::optional<std::vector<uint8_t>> bytes = machine.files().fileBytes(path);
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(none)");
}

void CleanupBench::putFile(const std::string& path, const std::string& text) {
  machine.files().putFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}
