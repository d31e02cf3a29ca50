// monitor_ports: the port monitor's scan and EnumPorts with whatever the
// registry holds. Printers are plugged (NRVUSB registers their interfaces and
// writes their device keys) and unplugged, then the values the monitor reads
// from a device key, PortName and DeviceID, are written over with any type
// and bytes or deleted, and EnumPorts is called at any level with any buffer
// size; every answer is checked as the spooler reads it. The library is let
// go at the end and the machine shuts down under the verifier.
//
// Records: 'O' options (bit 0 Windows 98, bit 1 the monitor starts at the
// first listing instead of at once), 'P' a printer plugged with this device
// ID text, 'U' printer N unplugged, 'V' printer N's value written
// (N, name: 0 PortName, 1 DeviceID, 2 and 3 the same deleted; type: 4 bytes; data),
// 'E' EnumPorts (level: 4 bytes, buffer size: 4 bytes), 'L' locale (0: U.S., else Japanese).
#include "fuzz_records.h"
#include "machine/machine.h"
#include "nrvusb.h"
#include "nrvusbmn.h"
#include "resident_module.h"
#include "usb/simulated_printer.h"
#include "user/port_info.h"

namespace {

constexpr size_t kMostPrinters = 4;
constexpr int kMostListings = 6;
constexpr DWORD kLargestBuffer = 1 << 16;

class MonitorRun {
 public:
  explicit MonitorRun(nrv::OsProfile profile)
      : machine_(nrv::MachineOptions{profile}), spooler_(machine_.startProcess("spooler")) {
    nrv::DriverLoadResult loaded = machine_.modules().startDriver(DriverEntry, "NRVUSB");
    if (loaded.driver == nullptr) fuzzFinding("DriverEntry failed: " + loaded.failure);
    machine_.pnp().setFunctionDriver(&loaded.driver->object);
  }

  ~MonitorRun() {
    if (module_ == nullptr) return;
    nrv::ProcessScope scope(spooler_);
    spooler_.unloadModule(*module_);
  }

  void apply(const FuzzRecord& record) {
    switch (record.tag) {
      case 'P':
        plug(record.text());
        break;
      case 'U':
        unplug(record.byte(0));
        break;
      case 'V':
        writeValue(record);
        break;
      case 'E':
        enumPorts(record.dword(0), record.dword(4));
        break;
      case 'L':
        machine_.locale().setLcid(record.byte(0) == 0 ? 0x0409 : 0x0411);
        break;
      default:
        break;
    }
  }

  void startMonitor() {
    if (module_ != nullptr) return;
    nrv::ProcessScope scope(spooler_);
    std::string failure;
    module_ = spooler_.loadModule(NRVUSBMN_MODULE, &failure);
    if (module_ == nullptr) fuzzFinding("the monitor did not load: " + failure);
    auto initialize =
        reinterpret_cast<BOOL(WINAPI*)(LPSTR, LPMONITOR)>(spooler_.exportOf(*module_, "InitializeMonitorEx"));
    char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Norvo USB Printer Port Monitor";
    if (!initialize(root, &table_)) fuzzFinding("InitializeMonitorEx failed");
  }

 private:
  void plug(const std::string& deviceId) {
    if (printers_.size() >= kMostPrinters) return;
    nrv::PrinterConfig config;
    config.deviceId = nrv::ieee1284DeviceId(deviceId.substr(0, 0xFFFD));
    config.usb.serialNumber = u"FUZZ" + std::u16string(1, static_cast<char16_t>(u'0' + printers_.size()));
    nrv::UsbDevice& usb = machine_.usb().plugPrinter(config);
    printers_.push_back({&usb, usb.instancePath()});
  }

  void unplug(uint8_t index) {
    if (index >= printers_.size() || printers_[index].usb == nullptr) return;
    machine_.usb().unplug(*printers_[index].usb);
    printers_[index].usb = nullptr;
  }

  void writeValue(const FuzzRecord& record) {
    if (record.byte(0) >= printers_.size()) return;
    std::u16string key =
        nrv::Registry::deviceKeyPath(machine_.profile(), printers_[record.byte(0)].instancePath);
    uint8_t which = record.byte(1) & 3;
    const char16_t* name = (which & 1) ? u"DeviceID" : u"PortName";
    if (which >= 2) {
      machine_.registry().deleteValue(key, name);
      return;
    }
    std::vector<uint8_t> bytes;
    if (record.bytes.size() > 6) bytes.assign(record.bytes.begin() + 6, record.bytes.end());
    machine_.registry().setValue(key, name, record.dword(2), std::move(bytes));
  }

  void enumPorts(DWORD level, DWORD size) {
    startMonitor();
    size %= kLargestBuffer + 1;
    std::vector<uint8_t> buffer(size, 0xEE);
    DWORD needed = 0xDDDDDDDD;
    DWORD returned = 0xDDDDDDDD;
    nrv::ProcessScope scope(spooler_);
    SetLastError(0xDDDDDDDD);
    BOOL result =
        table_.pfnEnumPorts(nullptr, level, size == 0 ? nullptr : buffer.data(), size, &needed, &returned);
    DWORD error = GetLastError();
    if (!result) {
      if (error == ERROR_INSUFFICIENT_BUFFER && needed <= size)
        fuzzFinding("EnumPorts asked for " + std::to_string(needed) + " bytes, no more than the " +
                    std::to_string(size) + " it had");
      return;
    }
    // Level 0 only counts the ports: there are no records to read.
    if (level == 0) return;
    std::vector<nrv::PortRecord> ports;
    std::string wrong;
    if (!nrv::readPortInfo(level, buffer.data(), size, returned, &ports, &wrong))
      fuzzFinding("EnumPorts at level " + std::to_string(level) +
                  " wrote a listing the spooler cannot read: " + wrong);
  }

  struct Printer {
    nrv::UsbDevice* usb;  // null once unplugged
    std::u16string instancePath;
  };

  nrv::Machine machine_;
  nrv::Process& spooler_;
  nrv::UserModule* module_ = nullptr;
  MONITOR table_{};
  std::vector<Printer> printers_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  keepResident(NRVUSBMN_MODULE);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<FuzzRecord> records = readRecords(data, size);
  uint8_t options = 0;
  for (const FuzzRecord& record : records) {
    if (record.tag == 'O') options = record.byte(0);
  }
  MonitorRun run((options & 1) ? nrv::OsProfile::Windows98 : nrv::OsProfile::Windows2000);
  if (!(options & 2)) run.startMonitor();
  // Each listing rescans every device: a few per input keep the runs quick.
  int listings = 0;
  for (const FuzzRecord& record : records) {
    if (record.tag == 'E' && ++listings > kMostListings) break;
    run.apply(record);
  }
  return 0;
}
