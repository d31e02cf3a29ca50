#include "machine/package_installation.h"

#include <fstream>
#include <iterator>

#include "base/status_text.h"
#include "base/text.h"
#include "machine/driver_services.h"
#include "machine/machine.h"

namespace nrv {

namespace {

constexpr char kDriverFile[] = "NRVUSB.SYS";
constexpr char kMonitorFile[] = "NRVUSBMN.DLL";
constexpr char kInstallerFile[] = "NRVUSBIN.DLL";
constexpr char kUninstallerFile[] = "NRVUSBUN.EXE";
// Windows 98 keeps the INF files of other makers in INF\OTHER under the maker's name.
constexpr char kInf98[] = "NorvoNRVUSB.INF";
constexpr unsigned kLastOemInf = 9999;

constexpr char kMachineRoot[] = "\\Registry\\Machine\\";
constexpr char kPackageDisplayName[] = "Norvo USB Printer";
constexpr char kPackageClassDescription[] = "Norvo USB Printers";

// The operation results the procedure acts on.
constexpr DWORD kVersionsDiffer = ERROR_ALREADY_EXISTS;

std::optional<std::vector<uint8_t>> readHostFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::nullopt;
  return bytes;
}

// Where each file goes: the driver where the system keeps drivers, the rest in the system folder.
struct Placement {
  const char* name;
  const PackageFile* source;
  std::string target;
  std::vector<uint8_t> bytes;
};

class Procedure {
 public:
  Procedure(Machine& machine, const PackageFiles& files) : machine_(machine), files_(files) {}

  PackageInstallation run() {
    if (!prepareFiles() || !noDriverLoaded() || !targetsWritable()) return std::move(result_);
    copyFiles();
    writeInf();
    writeKeys();
    if (bindDriver()) runInstaller();
    return std::move(result_);
  }

 private:
  bool is98() const { return machine_.profile() == OsProfile::Windows98; }

  std::string driversFolder() const {
    return machine_.files().systemDirectory() + (is98() ? "" : "\\DRIVERS");
  }

  bool stop(std::string why) {
    result_.stopped = std::move(why);
    return false;
  }

  // Every file is read before anything on the machine changes.
  bool prepareFiles() {
    const std::string system = machine_.files().systemDirectory();
    placements_ = {{kDriverFile, &files_.driver, driversFolder() + "\\" + kDriverFile, {}},
                   {kMonitorFile, &files_.monitor, system + "\\" + kMonitorFile, {}},
                   {kInstallerFile, &files_.installer, system + "\\" + kInstallerFile, {}},
                   {kUninstallerFile, &files_.uninstaller, system + "\\" + kUninstallerFile, {}}};
    for (Placement& placement : placements_) {
      std::optional<std::vector<uint8_t>> bytes = readHostFile(placement.source->image);
      if (!bytes)
        return stop(
            format("the image of %s, %s, cannot be read", placement.name, placement.source->image.c_str()));
      if (!readHostFile(placement.source->hostModule)) {
        return stop(format("the host module of %s, %s, cannot be read", placement.name,
                           placement.source->hostModule.c_str()));
      }
      placement.bytes = std::move(*bytes);
    }
    return true;
  }

  static constexpr FileOpenMode kWriting{false, true, false, 0};

  // A driver for USB printers that runs already would be loaded a second time.
  bool noDriverLoaded() {
    if (machine_.pnp().functionDriver() == nullptr) return true;
    return stop("a function driver for USB printers is loaded already: is the package installed?");
  }

  // As a setup program copies: a file in use (a loaded driver, a running
  // program) or one another open does not share cannot be replaced. Every
  // target is tried before any is written, so a refusal changes nothing.
  bool targetsWritable() {
    FileSystem& files = machine_.files();
    for (const Placement& placement : placements_) {
      DWORD error = 0;
      bool existed = false;
      FileSystem::OpenFile file = files.open(placement.target, OPEN_EXISTING, kWriting, &error, &existed);
      if (file != nullptr) {
        files.close(file, kWriting);
      } else if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return stop(format("%s cannot be written (error %u): is the package installed and running already?",
                           placement.target.c_str(), static_cast<unsigned>(error)));
      }
    }
    return true;
  }

  void copyFiles() {
    FileSystem& files = machine_.files();
    for (Placement& placement : placements_) {
      DWORD error = 0;
      bool existed = false;
      FileSystem::OpenFile file = files.open(placement.target, CREATE_ALWAYS, kWriting, &error, &existed);
      files.write(file, 0, placement.bytes.data(), placement.bytes.size());
      files.close(file, kWriting);
      files.setHostModule(placement.target, placement.source->hostModule);
      result_.steps.push_back(format("copied %s to %s", placement.name, placement.target.c_str()));
    }
  }

  // Windows 2000 names the INF files it keeps oemN.inf, the first N free.
  std::string chooseInfName() const {
    if (is98()) return kInf98;
    for (unsigned index = 0; index <= kLastOemInf; index++) {
      std::string name = format("oem%u.inf", index);
      if (!machine_.files().isFile(infFolder() + "\\" + name)) return name;
    }
    return format("oem%u.inf", kLastOemInf);
  }

  std::string infFolder() const {
    return machine_.files().windowsDirectory() + (is98() ? "\\INF\\OTHER" : "\\INF");
  }

  void writeInf() {
    infName_ = chooseInfName();
    std::string text = format(
        "; Norvo USB printers\r\n"
        "[Version]\r\nSignature=\"$%s$\"\r\nClass=%s\r\nClassGUID=%s\r\nProvider=%%Norvo%%\r\n\r\n"
        "[Manufacturer]\r\n%%Norvo%%=Norvo\r\n\r\n"
        "[Norvo]\r\n%%NrvUSB.DeviceDesc%%=NrvUSB,USB\\Class_07&SubClass_01\r\n\r\n"
        "[NrvUSB]\r\nCopyFiles=NrvUSB.Files\r\n\r\n"
        "[NrvUSB.Files]\r\n%s\r\n\r\n"
        "[Strings]\r\nNorvo=\"Norvo\"\r\nNrvUSB.DeviceDesc=\"Norvo USB Printer\"\r\n",
        is98() ? "Chicago" : "Windows NT", kPackageClassName, kPackageClassGuid, kDriverFile);
    std::string path = infFolder() + "\\" + infName_;
    machine_.files().putFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    result_.steps.push_back("wrote the INF file " + path);
  }

  void setString(const std::string& key, const char16_t* name, const std::string& value) {
    machine_.registry().setString(toUtf16(std::string(kMachineRoot) + key), name, toUtf16(value));
  }

  void writeKeys() {
    std::string imagePath =
        is98() ? std::string("SYSTEM\\") + kDriverFile : std::string("System32\\DRIVERS\\") + kDriverFile;
    registerDriverService(machine_.registry(), kPackageService, imagePath);
    result_.steps.push_back(
        format("wrote the service key HKLM\\System\\CurrentControlSet\\Services\\%s", kPackageService));
    std::vector<std::string> classKeys;
    if (is98()) {
      classKeys = {std::string("System\\CurrentControlSet\\Services\\Class\\") + kPackageClassName,
                   std::string("System\\CurrentControlSet\\Services\\Class\\") + kPackageClassGuid};
    } else {
      classKeys = {std::string("System\\CurrentControlSet\\Control\\Class\\") + kPackageClassGuid};
    }
    for (const std::string& key : classKeys) {
      setString(key, u"", kPackageClassDescription);
      setString(key, u"Class", kPackageClassName);
      result_.steps.push_back("wrote the class key HKLM\\" + key);
    }
    setString(kPackageUninstallKey, u"DisplayName", kPackageDisplayName);
    setString(kPackageUninstallKey, u"UninstallString",
              machine_.files().systemDirectory() + "\\" + kUninstallerFile);
    result_.steps.push_back(std::string("wrote the uninstall entry HKLM\\") + kPackageUninstallKey);
  }

  bool bindDriver() {
    DriverBinding binding{infName_, kPackageClassName, kPackageClassGuid, kPackageDisplayName, "Norvo"};
    DriverLoadResult loaded = machine_.loadFunctionDriver(kPackageService, binding);
    if (loaded.driver == nullptr) {
      return stop(format("the driver did not load: %s (%s)", statusText(loaded.status).c_str(),
                         loaded.failure.c_str()));
    }
    result_.steps.push_back(
        format("bound %s to USB printers through %s and loaded it", kDriverFile, infName_.c_str()));
    return true;
  }

  void runInstaller() {
    std::string path = machine_.files().systemDirectory() + "\\" + kInstallerFile;
    Process& setup = machine_.startProcess("setup");
    {
      ProcessScope scope(setup);
      std::string failure;
      UserModule* installer = setup.loadModule(*machine_.files().hostModule(path), &failure);
      if (installer == nullptr) {
        stop(format("%s did not load: %s", kInstallerFile, failure.c_str()));
      } else {
        callOperations(setup, *installer);
        setup.unloadModule(*installer);
      }
    }
    setup.end();
  }

  void callOperations(Process& setup, UserModule& installer) {
    using Operation = DWORD(WINAPI*)(VOID);
    auto checkVersion = reinterpret_cast<Operation>(setup.exportOf(installer, "CheckVersion"));
    auto installPortMonitor = reinterpret_cast<Operation>(setup.exportOf(installer, "InstallPortMonitor"));
    if (checkVersion == nullptr || installPortMonitor == nullptr) {
      stop(format("%s does not export CheckVersion and InstallPortMonitor", kInstallerFile));
      return;
    }
    result_.checkVersion = checkVersion();
    if (*result_.checkVersion == kVersionsDiffer) {
      stop("the driver and the port monitor carry different product versions");
      return;
    }
    result_.installPortMonitor = installPortMonitor();
    if (*result_.installPortMonitor == ERROR_NOT_SUPPORTED && !machine_.restartRequested()) {
      stop("the person declined");
    } else if (*result_.installPortMonitor != ERROR_SUCCESS &&
               *result_.installPortMonitor != ERROR_NOT_SUPPORTED) {
      stop(format("the port monitor could not be installed (error %u)",
                  static_cast<unsigned>(*result_.installPortMonitor)));
    }
  }

  Machine& machine_;
  const PackageFiles& files_;
  std::vector<Placement> placements_;
  std::string infName_;
  PackageInstallation result_;
};

}  // namespace

PackageInstallation installPackage(Machine& machine, const PackageFiles& files) {
  return Procedure(machine, files).run();
}

}  // namespace nrv
