#include "package_machine.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "base/text.h"
#include "machine/driver_services.h"
#include "usb/simulated_printer.h"

namespace {

constexpr char16_t kMachine[] = u"\\Registry\\Machine\\";
constexpr char16_t kUsbService[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\USB";

}  // namespace

std::vector<uint8_t> imageBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  EXPECT_TRUE(file) << path;
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> imageWithVersion(const std::string& image, const std::u16string& version) {
  std::vector<uint8_t> bytes = imageBytes(image);
  std::u16string original = u"3.00.220";
  EXPECT_EQ(version.size(), original.size());
  std::vector<uint8_t> from;
  std::vector<uint8_t> to;
  for (size_t index = 0; index < original.size(); index++) {
    from.insert(from.end(),
                {static_cast<uint8_t>(original[index]), static_cast<uint8_t>(original[index] >> 8)});
    to.insert(to.end(), {static_cast<uint8_t>(version[index]), static_cast<uint8_t>(version[index] >> 8)});
  }
  size_t replaced = 0;
  for (auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end()); at != bytes.end();
       at = std::search(at, bytes.end(), from.begin(), from.end())) {
    at = std::copy(to.begin(), to.end(), at);
    replaced++;
  }
  EXPECT_GE(replaced, 2u) << image << ": no version strings found";
  return bytes;
}

nrv::PackageFiles builtPackage() {
  return nrv::PackageFiles{{NRV_PACKAGE_IMAGES "/NRVUSB.SYS", NRVUSB_MODULE},
                           {NRV_PACKAGE_IMAGES "/NRVUSBMN.DLL", NRVUSBMN_MODULE},
                           {NRV_PACKAGE_IMAGES "/NRVUSBIN.DLL", NRVUSBIN_MODULE},
                           {NRV_PACKAGE_IMAGES "/NRVUSBUN.EXE", NRVUSBUN_MODULE}};
}

PackageBench::PackageBench(nrv::OsProfile profile) : machine(nrv::MachineOptions{profile}) {
  machine.startSpooler();
}

PackageBench::PackageBench(const nrv::MachineState& state) : machine(state) {
  if (!machine.start().spoolerStarted) machine.startSpooler();
}

std::string PackageBench::systemFile(const std::string& name) {
  return machine.files().systemDirectory() + "\\" + name;
}

std::string PackageBench::driversFile(const std::string& name) {
  return is98() ? systemFile(name) : systemFile("DRIVERS\\" + name);
}

void PackageBench::putImage(const std::string& path, const std::string& image,
                            const std::string& hostModule) {
  machine.files().putFile(path, imageBytes(image));
  machine.files().setHostModule(path, hostModule);
}

void PackageBench::putFile(const std::string& path, const std::string& text) {
  machine.files().putFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void PackageBench::putPackageFiles() {
  nrv::PackageFiles package = builtPackage();
  putImage(driversFile("NRVUSB.SYS"), package.driver.image, package.driver.hostModule);
  putImage(systemFile("NRVUSBMN.DLL"), package.monitor.image, package.monitor.hostModule);
  putImage(systemFile("NRVUSBIN.DLL"), package.installer.image, package.installer.hostModule);
  putImage(systemFile("NRVUSBUN.EXE"), package.uninstaller.image, package.uninstaller.hostModule);
}

void PackageBench::bindDriver() {
  nrv::registerDriverService(machine.registry(), nrv::kPackageService,
                             is98() ? "SYSTEM\\NRVUSB.SYS" : "System32\\DRIVERS\\NRVUSB.SYS");
  nrv::DriverLoadResult loaded = machine.loadFunctionDriver(nrv::kPackageService);
  ASSERT_NE(loaded.driver, nullptr) << loaded.failure;
}

DWORD PackageBench::callInstaller(const char* operation) {
  nrv::Process& setup = machine.startProcess("setup");
  DWORD result = 0xDEADBEEF;
  {
    nrv::ProcessScope scope(setup);
    if (prepareSetup) prepareSetup(setup);
    std::string failure;
    nrv::UserModule* installer = setup.loadModule(NRVUSBIN_MODULE, &failure);
    EXPECT_NE(installer, nullptr) << failure;
    if (installer != nullptr) {
      auto entry = reinterpret_cast<DWORD(WINAPI*)(VOID)>(setup.exportOf(*installer, operation));
      EXPECT_NE(entry, nullptr) << operation;
      if (entry != nullptr) result = entry();
      setup.unloadModule(*installer);
    }
  }
  setup.end();
  return result;
}

DWORD PackageBench::checkVersion() { return callInstaller("CheckVersion"); }

DWORD PackageBench::installPortMonitor() { return callInstaller("InstallPortMonitor"); }

nrv::PackageInstallation PackageBench::install(const std::vector<int>& answers) {
  machine.messageBoxes().script(answers);
  return nrv::installPackage(machine, builtPackage());
}

nrv::ProgramRun PackageBench::uninstall(const std::vector<int>& answers) {
  machine.messageBoxes().script(answers);
  return machine.runProgram(systemFile("NRVUSBUN.EXE"));
}

nrv::UsbDevice& PackageBench::plug(const std::string& model, std::optional<std::string> serial) {
  nrv::PrinterConfig config;
  config.deviceId =
      nrv::ieee1284DeviceId("MFG:NRV;CMD:PCL;MDL:" + model + ";CLS:PRINTER;DES:NRV " + model + ";");
  config.usb.serialNumber = serial ? std::optional<std::u16string>(nrv::toUtf16(*serial)) : std::nullopt;
  return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
}

void PackageBench::setSerialNumberGeneration(std::vector<uint8_t> bytes, ULONG type) {
  machine.registry().setValue(kUsbService, u"EnableSerialNumberGeneration", type, std::move(bytes));
}

std::optional<nrv::RegistryValue> PackageBench::serialNumberGeneration() {
  return machine.registry().value(kUsbService, u"EnableSerialNumberGeneration");
}

bool PackageBench::monitorRegistered() {
  return keyExists("System\\CurrentControlSet\\Control\\Print\\Monitors\\Norvo USB Printer Port Monitor");
}

bool PackageBench::keyExists(const std::string& hklmPath) {
  return machine.registry().keyExists(kMachine + nrv::toUtf16(hklmPath));
}

bool PackageBench::deviceNodeExists(const nrv::UsbDevice& printer) {
  return machine.registry().keyExists(
      nrv::Registry::instanceKeyPath(machine.profile(), printer.instancePath()));
}
