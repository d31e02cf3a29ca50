#include "cleanup_machine.h"

#include "base/text.h"
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
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
  ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
  machine.pnp().setFunctionDriver(&loaded.driver->object);
}

void CleanupBench::startSpooler() {
  machine.systemFolder().add("NRVUSBMN.DLL", NRVUSBMN_MODULE);
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
