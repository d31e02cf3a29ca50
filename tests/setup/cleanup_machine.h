// A machine with the clean-up routines loaded into a setup process, in the
// installer's or the uninstaller's variant, called on the test's thread as
// the program calls them; NRVUSB drives the printers plugged in.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "usb/usb_device.h"

enum class SetupVariant { Installer, Uninstaller };

class CleanupBench {
 public:
  CleanupBench(nrv::OsProfile profile, SetupVariant variant);
  ~CleanupBench();
  CleanupBench(const CleanupBench&) = delete;
  CleanupBench& operator=(const CleanupBench&) = delete;

  // Calls a routine of the library by name in the setup process.
  template <typename Result, typename... Arguments>
  Result call(const char* routine, Arguments... arguments) {
    nrv::ProcessScope scope(process);
    auto entry = reinterpret_cast<Result (*)(Arguments...)>(process.exportOf(*module, routine));
    if (entry == nullptr) ADD_FAILURE() << routine << " is not exported";
    return entry == nullptr ? Result() : entry(arguments...);
  }

  // NRVUSB installed as setup installs it (its file where the system keeps
  // drivers, its service key) and loaded as the function driver of the
  // printers plugged from now on.
  void loadDriver();
  // The library let go, then the machine shut down as for a restart.
  nrv::MachineState shutDown();
  // NRVUSBMN registered with the spooler, which starts with it.
  void startSpooler();
  // A printer with this IEEE 1284 device ID (without its length prefix) and serial number.
  nrv::UsbDevice& plug(const std::string& deviceId, const std::string& serial);
  void unplug(nrv::UsbDevice& printer);
  // The port name the driver gave the printer, from its hardware key.
  std::string portNameOf(const nrv::UsbDevice& printer);

  // The bytes of a machine file as text; "(none)" when it does not exist.
  std::string fileText(const std::string& path);
  void putFile(const std::string& path, const std::string& text);

  nrv::Machine machine;
  nrv::Process& process;
  nrv::UserModule* module = nullptr;
};
