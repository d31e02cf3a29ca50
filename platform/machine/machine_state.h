// What of a machine outlives it: its registry and its files (with the host
// modules that play some of them), and what it had running that the next
// start brings back. A Machine hands one over when it is shut down, and a new
// Machine boots from one, as a computer restarts with the same disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/os_profile.h"
#include "base/system_locale.h"
#include "kernel/registry.h"
#include "usb/simulated_printer.h"

namespace nrv {

class FileSystem;

struct RegistryKeyState {
  std::u16string path;                     // "\Registry\Machine\System", each name in its own case
  std::vector<NamedRegistryValue> values;  // in the order they were first written
};

struct FileState {
  std::string path;  // "C:\WINNT\SYSTEM32\DRIVERS\NRVUSB.SYS", in its own case
  bool folder = false;
  std::vector<uint8_t> bytes;
  std::string hostModule;  // the host file that plays it as a module; empty for a plain file
};

// The INF a function driver was installed with: what it gives the USB
// printers' device nodes it installs (their class, and the values of their
// driver keys). Text in UTF-8.
struct DriverBinding {
  std::string infName;      // "oem0.inf" on Windows 2000, "NRVUSB.INF" on Windows 98
  std::string className;    // "NrvUSBPrinter"
  std::string classGuid;    // "{762bb1b6-5164-11d1-b00b-00c0d1570f9e}"
  std::string description;  // the driver key's DriverDesc
  std::string provider = "Norvo";

  bool operator==(const DriverBinding&) const = default;
};

struct MachineState {
  // Not an aggregate, so that a Machine built from {profile} takes MachineOptions.
  MachineState() = default;

  OsProfile profile = OsProfile::Windows2000;
  uint32_t lcid = SystemLocale::kUnitedStates;
  // Every key below the root, parents before their subkeys, in the order the registry enumerates them.
  std::vector<RegistryKeyState> registry;
  // Every file and folder of drive C:, folders before what they hold.
  std::vector<FileState> files;
  // The service loaded as the function driver for USB printers; empty for none.
  std::string functionDriverService;
  // The INF it was installed with; none for a driver loaded without one.
  std::optional<DriverBinding> functionDriverBinding;
  bool spoolerRan = false;
  // Printers on the bus when the machine went down: they are there again at
  // its start. Not saved with the machine: a printer is no part of its disk.
  std::vector<PrinterConfig> printers;
};

std::vector<RegistryKeyState> captureRegistry(const Registry& registry);
// Makes the registry hold exactly these keys and values.
void restoreRegistry(Registry& registry, const std::vector<RegistryKeyState>& keys);
std::vector<FileState> captureFiles(const FileSystem& files);
// Adds the files and folders to a file system that holds only its profile's folders.
void restoreFiles(FileSystem& files, const std::vector<FileState>& state);

}  // namespace nrv
