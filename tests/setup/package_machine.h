// A machine for the package's two programs: the spooler runs, and the
// package's four files are at hand, each as its Windows image with the host
// module that plays it. Tests install the package through the machine's
// installation procedure, or call NRVUSBIN's operations themselves in a
// setup process, and run NRVUSBUN as a program.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/package_installation.h"
#include "usb/usb_device.h"

// The package as the build leaves it.
nrv::PackageFiles builtPackage();
// The bytes of a file on the host.
std::vector<uint8_t> imageBytes(const std::string& path);
// The image with every "3.00.220" of its version resource (file and product
// version alike) rewritten as `version`, which has as many characters.
std::vector<uint8_t> imageWithVersion(const std::string& image, const std::u16string& version);

class PackageBench {
 public:
  explicit PackageBench(nrv::OsProfile profile);
  // Boots from what an earlier bench's machine left, as a restart does.
  explicit PackageBench(const nrv::MachineState& state);
  PackageBench(const PackageBench&) = delete;
  PackageBench& operator=(const PackageBench&) = delete;

  bool is98() const { return machine.profile() == nrv::OsProfile::Windows98; }
  std::string systemFile(const std::string& name);
  std::string driversFile(const std::string& name);

  // The files as the installation leaves them (the driver where the system
  // keeps drivers), without anything else it does.
  void putPackageFiles();
  // The machine file gets the bytes of a Windows image and is played by the host module.
  void putImage(const std::string& path, const std::string& image, const std::string& hostModule);
  void putFile(const std::string& path, const std::string& text);
  // The driver bound and loaded as the installation binds it.
  void bindDriver();
  // NRVUSBIN's operations, called in a setup process of their own.
  DWORD checkVersion();
  DWORD installPortMonitor();
  // The installation procedure, answering the boxes with `answers`.
  nrv::PackageInstallation install(const std::vector<int>& answers = {});
  // NRVUSBUN.EXE run from the system folder, answering with `answers`.
  nrv::ProgramRun uninstall(const std::vector<int>& answers);

  // A printer with its own device ID; without a serial number when serial is none.
  nrv::UsbDevice& plug(const std::string& model, std::optional<std::string> serial);

  void setSerialNumberGeneration(std::vector<uint8_t> bytes, ULONG type = REG_BINARY);
  std::optional<nrv::RegistryValue> serialNumberGeneration();
  bool monitorRegistered();
  bool keyExists(const std::string& hklmPath);
  // The printer's device node is in the registry.
  bool deviceNodeExists(const nrv::UsbDevice& printer);
  std::vector<nrv::MessageBoxRecord> boxes() { return machine.messageBoxes().shown(); }

  nrv::Machine machine;
  // What a test does to the setup process before the operation runs.
  std::function<void(nrv::Process&)> prepareSetup;

 private:
  DWORD callInstaller(const char* operation);
};
