#include "package_footprint.h"

#include <algorithm>
#include <cctype>

#include "base/text.h"
#include "machine/package_installation.h"
#include "machine/system_start.h"

namespace nrvsim {

namespace {

const char* const kPackageFiles[] = {"NRVUSB.SYS", "NRVUSBMN.DLL", "NRVUSBIN.DLL", "NRVUSBCI.DLL",
                                     "NRVUSBUN.EXE"};
// The driver's port names, unless a printer's EnumName option chose another prefix.
constexpr char kPortPrefix[] = "NRVUSB";
constexpr char16_t kMachine[] = u"\\Registry\\Machine\\";
constexpr char16_t kMru[] =
    u"\\Registry\\User\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";
constexpr char kScheduled[] = "removed at the next start";
constexpr char kPortsKey[] = "System\\CurrentControlSet\\Control\\Print\\Ports";
constexpr char kServiceKeyStays98[] =
    "the uninstaller deletes the driver's service key on Windows 2000 only; the file it names is gone";
constexpr char kInfStays[] =
    "the uninstaller finds INF files only through the devices installed from them, and none named this one";
constexpr char kPortKeyStays[] =
    "the port monitor leaves a port's key when the port is deleted, and no step of the uninstaller removes "
    "it";

std::string upper(std::string text) {
  for (char& character : text)
    character = static_cast<char>(std::toupper(static_cast<unsigned char>(character)));
  return text;
}

bool isPackagePort(const std::string& name) { return upper(name).rfind(kPortPrefix, 0) == 0; }

bool contains(const std::vector<uint8_t>& bytes, const std::string& text) {
  return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

class Survey {
 public:
  explicit Survey(nrv::Machine& machine)
      : machine_(machine),
        pending_(nrv::pendingFileOperations(machine.profile(), machine.registry(), machine.files(),
                                            machine.locale())) {}

  std::vector<PackageItemFacts> run() {
    files();
    keys();
    devices();
    spooler();
    scheduled();
    return std::move(items_);
  }

 private:
  void add(const std::string& kind, const std::string& name, std::string expectedBecause = "") {
    items_.push_back(PackageItemFacts{kind, name, std::move(expectedBecause)});
  }

  bool deletionPending(const std::string& path) const {
    return std::any_of(pending_.begin(), pending_.end(), [&](const nrv::PendingFileOperation& operation) {
      return operation.to.empty() && upper(operation.from) == upper(path);
    });
  }

  void file(const std::string& path, const char* otherwiseExpected = "") {
    if (machine_.files().isFile(path)) add("file", path, deletionPending(path) ? kScheduled : otherwiseExpected);
  }

  void files() {
    nrv::FileSystem& files = machine_.files();
    // Once the uninstaller has run (its entry is gone), an INF file no device named stays by its design.
    bool uninstalled = !machine_.registry().keyExists(kMachine + nrv::toUtf16(nrv::kPackageUninstallKey));
    for (const char* name : kPackageFiles) file(files.systemDirectory() + "\\" + name);
    file(files.windowsDirectory() + "\\SYSTEM32\\DRIVERS\\NRVUSB.SYS");
    // INF files of the package (in INF, or INF\OTHER below it) name its setup class.
    for (const nrv::FileSystem::Entry& entry : files.list(files.windowsDirectory() + "\\INF")) {
      if (entry.folder) continue;
      std::optional<std::vector<uint8_t>> bytes = files.fileBytes(entry.path);
      if (bytes && contains(*bytes, nrv::kPackageClassName)) file(entry.path, uninstalled ? kInfStays : "");
    }
  }

  void key(const std::string& path, std::string expectedBecause = "") {
    if (machine_.registry().keyExists(kMachine + nrv::toUtf16(path)))
      add("key", "HKLM\\" + path, std::move(expectedBecause));
  }

  // Every subkey of a key, each an item.
  void subkeys(const std::string& path, const std::string& kind) {
    for (const std::u16string& name : machine_.registry().subkeys(kMachine + nrv::toUtf16(path)))
      add(kind, "HKLM\\" + path + "\\" + nrv::toUtf8(name));
  }

  void keys() {
    std::string guid = nrv::kPackageClassGuid;
    key(std::string("System\\CurrentControlSet\\Services\\") + nrv::kPackageService,
        machine_.profile() == nrv::OsProfile::Windows98 ? kServiceKeyStays98 : "");
    key("System\\CurrentControlSet\\Control\\Class\\" + guid);
    key(std::string("System\\CurrentControlSet\\Services\\Class\\") + nrv::kPackageClassName);
    key("System\\CurrentControlSet\\Services\\Class\\" + guid);
    key(std::string("System\\CurrentControlSet\\Control\\Print\\Monitors\\") + nrv::kPackageMonitorName);
    key(nrv::kPackageUninstallKey);
    subkeys("System\\CurrentControlSet\\Control\\DeviceClasses\\" + guid, "interface");
    for (const std::u16string& name : machine_.registry().subkeys(kMachine + nrv::toUtf16(kPortsKey))) {
      std::string port = nrv::toUtf8(name);
      if (isPackagePort(port)) add("key", std::string("HKLM\\") + kPortsKey + "\\" + port, kPortKeyStays);
    }
    for (const nrv::NamedRegistryValue& value : machine_.registry().values(kMru)) {
      if (value.value.type == REG_SZ &&
          isPackagePort(nrv::toUtf8(nrv::registryStringText(value.value.bytes))))
        add("value", "HKU\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU: " +
                         nrv::toUtf8(value.name));
    }
  }

  // Device nodes the driver served (its port name in the device key) and the
  // printer devices the system made on their ports.
  void devices() {
    nrv::Registry& registry = machine_.registry();
    for (const std::u16string& node : registry.deviceNodes(machine_.profile())) {
      std::u16string deviceKey = nrv::Registry::deviceKeyPath(machine_.profile(), node);
      std::optional<std::u16string> port = registry.stringValue(deviceKey, u"PortName");
      if (port && isPackagePort(nrv::toUtf8(*port))) add("device", nrv::toUtf8(node));
    }
  }

  void spooler() {
    nrv::Spooler& spooler = machine_.spooler();
    if (!spooler.running()) return;
    for (const nrv::MonitorState& monitor : spooler.monitors()) {
      if (monitor.name == nrv::kPackageMonitorName) add("monitor", monitor.name);
    }
    for (const nrv::PortRecord& port : spooler.ports()) {
      if (isPackagePort(port.name)) add("port", port.name);
    }
    for (const std::shared_ptr<nrv::PrinterQueue>& queue : spooler.printers()) {
      if (isPackagePort(queue->port())) add("queue", queue->name() + " on " + queue->port());
    }
  }

  void scheduled() {
    for (const nrv::PendingFileOperation& operation : pending_) {
      std::string name = upper(operation.from);
      bool ours = std::any_of(std::begin(kPackageFiles), std::end(kPackageFiles),
                              [&](const char* file) { return name.ends_with(std::string("\\") + file); });
      if (!ours && !name.ends_with(".INF")) continue;
      std::string what = operation.to.empty() ? "delete " + operation.from
                                              : "move " + operation.from + " to " + operation.to;
      add("scheduled", what + " (" + operation.source + ")", kScheduled);
    }
  }

  nrv::Machine& machine_;
  std::vector<nrv::PendingFileOperation> pending_;
  std::vector<PackageItemFacts> items_;
};

}  // namespace

std::vector<PackageItemFacts> packageFootprint(nrv::Machine& machine) { return Survey(machine).run(); }

std::vector<PackageItemFacts> itemsGone(const std::vector<PackageItemFacts>& before,
                                        const std::vector<PackageItemFacts>& after) {
  std::vector<PackageItemFacts> gone;
  for (const PackageItemFacts& item : before) {
    bool kept = std::any_of(after.begin(), after.end(), [&](const PackageItemFacts& other) {
      return other.kind == item.kind && other.name == item.name;
    });
    if (!kept) gone.push_back(item);
  }
  return gone;
}

}  // namespace nrvsim
