// The printer's installation procedure, which is no part of the package: the
// machine plays it as the printer maker's setup program would run it. It
// copies the package's four files where each system keeps them, writes the
// driver's service key, the setup class keys and the package's uninstall
// entry, binds the driver to USB printers with an INF file, and then loads
// NRVUSBIN into a setup process and calls its two operations, acting on
// their results as the procedure does.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace nrv {

class Machine;

// One file of the package: the Windows image whose bytes the installed file
// gets, and the host module that plays it when the machine loads or runs it.
struct PackageFile {
  std::string image;
  std::string hostModule;
};

struct PackageFiles {
  PackageFile driver;       // NRVUSB.SYS
  PackageFile monitor;      // NRVUSBMN.DLL
  PackageFile installer;    // NRVUSBIN.DLL
  PackageFile uninstaller;  // NRVUSBUN.EXE
};

// The names the package installs under, which its uninstaller removes again.
inline constexpr char kPackageService[] = "nrvusb";
inline constexpr char kPackageClassName[] = "NrvUSBPrinter";
inline constexpr char kPackageClassGuid[] = "{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";
inline constexpr char kPackageUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\NrvUSBPrinter";
inline constexpr char kPackageMonitorName[] = "Norvo USB Printer Port Monitor";

struct PackageInstallation {
  // What the procedure did, in order, one line each.
  std::vector<std::string> steps;
  // The results of the two operations, for those that were called.
  std::optional<DWORD> checkVersion;
  std::optional<DWORD> installPortMonitor;
  // Why the procedure stopped before the end; empty when it went through.
  std::string stopped;
};

// The machine's spooler must run (AddMonitorA needs it). The message boxes
// the installer shows take the machine's scripted answers. A restart the
// installer asks for is left to whoever runs the machine.
PackageInstallation installPackage(Machine& machine, const PackageFiles& files);

}  // namespace nrv
