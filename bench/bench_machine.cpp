#include "bench_machine.h"

#include <algorithm>
#include <stdexcept>

#include "base/text.h"
#include "printer_interface.h"
#include "user/print_job.h"
#include "user/process.h"

namespace nrv_bench {

namespace {

void require(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error("bench machine: " + what);
}

// The spooler reads a job's spool file; here the bytes stay where the
// benchmark keeps them, so a thousand jobs do not hold a thousand copies.
class BorrowedDocument : public nrv::JobDocument {
 public:
  explicit BorrowedDocument(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  size_t read(uint8_t* buffer, size_t size) override {
    size_t count = std::min(size, bytes_.size() - at_);
    std::copy_n(bytes_.data() + at_, count, buffer);
    at_ += count;
    return count;
  }
  void rewind() override { at_ = 0; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t at_ = 0;
};

}  // namespace

nrv::PrinterConfig linkBoundPrinter(const std::string& serial, nrv::UsbSpeed speed) {
  nrv::PrinterConfig config;
  config.usb = nrv::printerDescription(speed);
  config.usb.serialNumber = nrv::toUtf16(serial);
  config.bufferSize = nrv::InputBuffer::kUnlimited;
  config.printBytesPerMillisecond = nrv::InputBuffer::kUnlimited;
  return config;
}

std::vector<uint8_t> patternBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

BenchMachine::BenchMachine() {
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
  require(loaded.status == STATUS_SUCCESS && loaded.driver != nullptr,
          "NRVUSB did not load: " + loaded.failure);
  machine.pnp().setFunctionDriver(&loaded.driver->object);
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\NRVUSBMN.DLL", NRVUSBMN_MODULE);
  machine.registerMonitor(kMonitorName, "NRVUSBMN.DLL");
}

BenchMachine::~BenchMachine() {
  for (PFILE_OBJECT file : files_) machine.io().close(file);
}

nrv::UsbDevice& BenchMachine::plug(const std::string& serial, nrv::UsbSpeed speed) {
  nrv::UsbDevice& printer =
      machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(linkBoundPrinter(serial, speed)));
  printer.model().keepBulkData(false);
  return printer;
}

PFILE_OBJECT BenchMachine::open(const nrv::UsbDevice& printer) {
  std::u16string prefix = u"\\??\\" + printer.instancePath() + u"#";
  std::replace(prefix.begin() + 4, prefix.end(), u'\\', u'#');
  for (const nrv::InterfaceRecord& record : machine.interfaces().list(PrinterInterfaceClass)) {
    if (!record.enabled || record.linkName.compare(0, prefix.size(), prefix) != 0) continue;
    PFILE_OBJECT file = nullptr;
    require(machine.io().open(record.linkName, u"", &file) == STATUS_SUCCESS, "the printer did not open");
    files_.push_back(file);
    return file;
  }
  throw std::runtime_error("bench machine: the printer has no enabled interface");
}

void BenchMachine::startSpooler() {
  machine.startSpooler();
  nrv::Process& spooler = *machine.spooler().process();
  nrv::UserModule* module = machine.spooler().monitorModule(kMonitorName);
  require(module != nullptr, "the spooler did not load NRVUSBMN");
  auto initialize =
      reinterpret_cast<BOOL(WINAPI*)(LPSTR, LPMONITOR)>(spooler.exportOf(*module, "InitializeMonitorEx"));
  nrv::ProcessScope scope(spooler);
  char root[] = "";
  require(initialize != nullptr && initialize(root, &monitor), "InitializeMonitorEx failed");
}

void BenchMachine::addQueue(const std::string& queue, const std::string& port) {
  nrv::SpoolerAnswer answer = machine.spooler().addPrinter(queue, port);
  require(answer.result, "the queue " + queue + " was refused");
}

bool BenchMachine::printJob(const std::string& queue, const std::vector<uint8_t>& bytes) {
  std::shared_ptr<nrv::PrintJob> job =
      machine.spooler().submitJob(queue, "bench", std::make_unique<BorrowedDocument>(bytes));
  return job != nullptr && machine.spooler().waitForJob(*job) == nrv::JobState::Done;
}

uint64_t BenchMachine::bytesReceived(nrv::UsbDevice& printer) {
  uint64_t bytes = 0;
  for (const nrv::BulkTransferRecord& record : printer.model().bulkLog()) {
    if ((record.endpoint & 0x80) == 0) bytes += record.moved;
  }
  return bytes;
}

}  // namespace nrv_bench
