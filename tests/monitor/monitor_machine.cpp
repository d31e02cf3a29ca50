#include "monitor_machine.h"

#include "base/text.h"
#include "usb/simulated_printer.h"

MonitorBench::MonitorBench(nrv::OsProfile profile)
    : machine(nrv::MachineOptions{profile}), spooler(machine.startProcess("spooler")) {
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
  EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
  if (loaded.driver != nullptr) machine.pnp().setFunctionDriver(&loaded.driver->object);
}

MonitorBench::~MonitorBench() {
  if (module == nullptr) return;
  nrv::ProcessScope scope(spooler);
  spooler.unloadModule(*module);
}

nrv::UsbDevice& MonitorBench::plug(const std::string& deviceId, const std::string& serial) {
  nrv::PrinterConfig config;
  config.deviceId = nrv::ieee1284DeviceId(deviceId);
  config.usb.serialNumber = nrv::toUtf16(serial);
  return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
}

void MonitorBench::unplug(nrv::UsbDevice& printer) { machine.usb().unplug(printer); }

std::string MonitorBench::portNameOf(const nrv::UsbDevice& printer) {
  std::u16string key = nrv::Registry::deviceKeyPath(machine.profile(), printer.instancePath());
  return nrv::toUtf8(machine.registry().stringValue(key, u"PortName").value_or(u""));
}

void MonitorBench::startMonitor() {
  nrv::ProcessScope scope(spooler);
  std::string failure;
  module = spooler.loadModule(NRVUSBMN_MODULE, &failure);
  ASSERT_NE(module, nullptr) << failure;
  auto initialize =
      reinterpret_cast<BOOL(WINAPI*)(LPSTR, LPMONITOR)>(spooler.exportOf(*module, "InitializeMonitorEx"));
  ASSERT_NE(initialize, nullptr);
  char root[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Norvo USB Printer Port Monitor";
  ASSERT_TRUE(initialize(root, &table));
}

PortListing MonitorBench::enumPorts(DWORD level, DWORD size) {
  PortListing listing;
  listing.buffer.assign(size, 0xEE);
  listing.needed = 0xDDDDDDDD;
  listing.returned = 0xDDDDDDDD;
  nrv::ProcessScope scope(spooler);
  SetLastError(0xDDDDDDDD);
  listing.result = table.pfnEnumPorts(nullptr, level, size == 0 ? nullptr : listing.buffer.data(), size,
                                      &listing.needed, &listing.returned);
  listing.error = GetLastError();
  return listing;
}

std::vector<nrv::PortRecord> MonitorBench::ports() {
  // As a caller must: the list may grow between the size query and the fetch.
  PortListing listing = enumPorts(2, 0);
  for (int attempt = 0; !listing.result && listing.error == ERROR_INSUFFICIENT_BUFFER && attempt < 4; attempt++)
    listing = enumPorts(2, listing.needed);
  EXPECT_TRUE(listing.result) << "error " << listing.error;
  std::vector<nrv::PortRecord> records;
  std::string wrong;
  EXPECT_TRUE(nrv::readPortInfo(2, listing.buffer.data(), static_cast<DWORD>(listing.buffer.size()),
                                listing.returned, &records, &wrong))
      << wrong;
  return records;
}
