#include "port_io_machine.h"

#include "base/text.h"
#include "usb/usb_bus.h"

namespace {

constexpr char kMonitorName[] = "Norvo USB Printer Port Monitor";

}  // namespace

PortIoBench::PortIoBench() {
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
  EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
  if (loaded.driver != nullptr) machine.pnp().setFunctionDriver(&loaded.driver->object);
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\NRVUSBMN.DLL", NRVUSBMN_MODULE);
  machine.registerMonitor(kMonitorName, "NRVUSBMN.DLL");
}

nrv::UsbDevice& PortIoBench::plug(const std::string& serial) {
  nrv::PrinterConfig config;
  config.usb.serialNumber = nrv::toUtf16(serial);
  return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
}

nrv::SimulatedPrinter& PortIoBench::model(nrv::UsbDevice& printer) {
  return dynamic_cast<nrv::SimulatedPrinter&>(printer.model());
}

// A second InitializeMonitorEx hands the same entries out again, as one DLL serving two monitors does.
void PortIoBench::start() {
  machine.startSpooler();
  nrv::Process& spooler = *machine.spooler().process();
  nrv::UserModule* module = machine.spooler().monitorModule(kMonitorName);
  ASSERT_NE(module, nullptr);
  auto initialize = reinterpret_cast<BOOL(WINAPI*)(LPSTR, LPMONITOR)>(spooler.exportOf(*module, "InitializeMonitorEx"));
  nrv::ProcessScope scope(spooler);
  char root[] = "";
  ASSERT_TRUE(initialize(root, &table));
}

void PortIoBench::addQueue(const std::string& queue, const std::string& port, DWORD retry, DWORD notSelected) {
  nrv::SpoolerAnswer answer = machine.spooler().addPrinter(queue, port, nrv::PrinterTimeouts{notSelected, retry});
  ASSERT_TRUE(answer.result) << answer.error;
}

namespace {

// Runs an entry in the spooler's process and keeps its last error.
template <typename Call>
BOOL inSpooler(nrv::Machine& machine, DWORD* error, Call call) {
  nrv::ProcessScope scope(*machine.spooler().process());
  SetLastError(0xDDDDDDDD);
  BOOL result = call();
  *error = GetLastError();
  return result;
}

}  // namespace

HANDLE PortIoBench::openPort(const std::string& name) {
  HANDLE port = nullptr;
  std::string text = name;
  inSpooler(machine, &error, [&] { return table.pfnOpenPort(text.data(), &port); });
  return port;
}

BOOL PortIoBench::startDoc(HANDLE port, const std::string& queue, DWORD jobId) {
  std::string text = queue;
  return inSpooler(machine, &error, [&] { return table.pfnStartDocPort(port, text.data(), jobId, 1, nullptr); });
}

BOOL PortIoBench::write(HANDLE port, const std::string& data, DWORD* written) {
  std::string bytes = data;
  return inSpooler(machine, &error, [&] {
    return table.pfnWritePort(port, reinterpret_cast<LPBYTE>(bytes.data()), static_cast<DWORD>(bytes.size()), written);
  });
}

BOOL PortIoBench::read(HANDLE port, DWORD size, std::string* data) {
  std::string buffer(size, '\xEE');
  DWORD got = 0xDDDDDDDD;
  BOOL result = inSpooler(machine, &error, [&] {
    return table.pfnReadPort(port, reinterpret_cast<LPBYTE>(buffer.data()), size, &got);
  });
  *data = buffer.substr(0, got <= size ? got : 0);
  return result;
}

BOOL PortIoBench::endDoc(HANDLE port) {
  return inSpooler(machine, &error, [&] { return table.pfnEndDocPort(port); });
}

BOOL PortIoBench::closePort(HANDLE port) {
  return inSpooler(machine, &error, [&] { return table.pfnClosePort(port); });
}

BOOL PortIoBench::deletePort(const std::string& name) {
  std::string text = name;
  return inSpooler(machine, &error, [&] { return table.pfnDeletePort(nullptr, nullptr, text.data()); });
}

BOOL PortIoBench::printerData(HANDLE port, DWORD control, std::string* output, DWORD outputSize) {
  std::string buffer(outputSize, '\xEE');
  DWORD returned = 0xDDDDDDDD;
  BOOL result = inSpooler(machine, &error, [&] {
    return table.pfnGetPrinterDataFromPort(port, control, nullptr, nullptr, 0, buffer.data(), outputSize, &returned);
  });
  *output = returned <= outputSize ? buffer.substr(0, returned) : "(returned untouched)";
  return result;
}

DWORD PortIoBench::listedPorts() {
  DWORD needed = 0;
  DWORD returned = 0;
  inSpooler(machine, &error, [&] { return table.pfnEnumPorts(nullptr, 0, nullptr, 0, &needed, &returned); });
  return returned;
}
