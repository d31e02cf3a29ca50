#include "print_job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "base/bugcheck.h"
#include "base/text.h"
#include "printer_facts.h"
#include "usbprn_ioctl.h"

namespace nrvsim {

namespace {

// What one write carries, as a spooler hands its buffer to the port monitor.
constexpr size_t kWriteSize = 1 << 20;
constexpr size_t kTestPageSize = 150000;

// The printer's open handle, or one opened for this job and closed after it.
class JobHandle {
 public:
  JobHandle(nrv::Machine& machine, NamedPrinter& printer) : machine_(machine), file_(printer.handle) {
    if (file_ != nullptr) return;
    std::optional<std::u16string> link = printerInterfaceLink(machine, *printer.usb);
    ownOpen_ = link ? machine.io().open(*link, u"", &own_) : STATUS_OBJECT_NAME_NOT_FOUND;
    file_ = own_;
  }
  ~JobHandle() {
    if (own_ != nullptr) machine_.io().close(own_);
  }
  JobHandle(const JobHandle&) = delete;
  JobHandle& operator=(const JobHandle&) = delete;

  PFILE_OBJECT file() const { return file_; }
  std::optional<NTSTATUS> ownOpen() const { return ownOpen_; }

 private:
  nrv::Machine& machine_;
  PFILE_OBJECT file_;
  PFILE_OBJECT own_ = nullptr;
  std::optional<NTSTATUS> ownOpen_;
};

// The bulk transfers of one direction that ended after the first `seen` of the log.
std::vector<TransferFacts> transfersAfter(nrv::UsbDeviceModel& model, size_t& seen, bool in) {
  std::vector<nrv::BulkTransferRecord> all = model.bulkLog();
  std::vector<TransferFacts> fresh;
  for (size_t index = seen; index < all.size(); index++) {
    bool isIn = (all[index].endpoint & nrv::kUsbDirectionIn) != 0;
    if (isIn == in) fresh.push_back(TransferFacts{all[index].data.size(), all[index].status});
  }
  seen = all.size();
  return fresh;
}

// Waits for the request until its timeout. Then, as the port monitor does, cancels the
// requests of the pipe and resets it, and waits for the request to end.
RequestFacts finish(nrv::Machine& machine, PFILE_OBJECT file, nrv::PendingRequest& request, size_t length,
                    uint64_t timeout, UCHAR pipe) {
  uint64_t started = machine.scheduler().nowMilliseconds();
  RequestFacts facts;
  facts.length = length;
  if (!request.wait(timeout)) {
    facts.cancelled = true;
    facts.cancelStatus = machine.io()
                             .deviceControl(file, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, &pipe, 1, nullptr, 0)
                             .status.Status;
    request.wait();
    facts.resetStatus =
        machine.io().deviceControl(file, IOCTL_USBPRN_RESET_BULK_PIPE, &pipe, 1, nullptr, 0).status.Status;
  }
  facts.status = request.status().Status;
  facts.information = request.status().Information;
  facts.milliseconds = machine.scheduler().nowMilliseconds() - started;
  return facts;
}

std::vector<UCHAR> readDocument(const std::string& path, const Command& command) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    throw ScenarioError{command.line, command.position,
                        "cannot read '" + path + "': " + std::strerror(errno)};
  std::vector<UCHAR> document{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw ScenarioError{command.line, command.position, "reading '" + path + "' failed"};
  return document;
}

}  // namespace

std::vector<UCHAR> testPage() {
  std::string page = "NRVUSB test page\r\n";
  for (int line = 1; page.size() < kTestPageSize; line++) {
    page += nrv::format(
        "%05d The quick brown fox jumps over the lazy dog. 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n", line);
  }
  page.resize(kTestPageSize);
  return std::vector<UCHAR>(page.begin(), page.end());
}

void loadDocuments(std::vector<Command>& commands, const std::string& baseDirectory) {
  for (Command& command : commands) {
    auto* print = std::get_if<PrintCommand>(&command.action);
    if (print == nullptr) continue;
    if (print->file.empty()) {
      print->documentName = "the built-in test page";
      print->document = testPage();
      continue;
    }
    bool relative = print->file.front() != '/' && !baseDirectory.empty();
    print->documentName = print->file;
    print->document = readDocument(relative ? baseDirectory + "/" + print->file : print->file, command);
  }
}

DocumentPrinted printDocument(nrv::Machine& machine, NamedPrinter& printer, const PrintCommand& command) {
  nrv::UsbDeviceModel& model = printer.usb->model();
  DocumentPrinted printed;
  printed.printer = printer.name;
  printed.document = command.documentName;
  printed.size = command.document.size();
  JobHandle handle(machine, printer);
  printed.ownOpen = handle.ownOpen();
  if (handle.file() == nullptr) return printed;

  size_t logSeen = model.bulkLog().size();
  size_t receivedBefore = model.outData().size();
  for (size_t offset = 0; offset < command.document.size();) {
    size_t length = std::min(kWriteSize, command.document.size() - offset);
    std::unique_ptr<nrv::PendingRequest> request =
        machine.io().startWrite(handle.file(), command.document.data() + offset, static_cast<ULONG>(length));
    RequestFacts write =
        finish(machine, handle.file(), *request, length, command.timeout, USBPRN_PIPE_BULK_OUT);
    write.transfers = transfersAfter(model, logSeen, false);
    printed.writes.push_back(write);
    if (!NT_SUCCESS(write.status) || write.information != length) break;
    offset += length;
  }
  std::vector<UCHAR> received = model.outData();
  received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(receivedBefore));
  printed.received = received.size();
  printed.identical = received == command.document;
  return printed;
}

DataRead readBack(nrv::Machine& machine, NamedPrinter& printer, const ReadCommand& command) {
  nrv::UsbDeviceModel& model = printer.usb->model();
  DataRead read;
  read.printer = printer.name;
  JobHandle handle(machine, printer);
  read.ownOpen = handle.ownOpen();
  if (handle.file() == nullptr) return read;

  size_t logSeen = model.bulkLog().size();
  std::vector<UCHAR> buffer(command.count);
  std::unique_ptr<nrv::PendingRequest> request =
      machine.io().startRead(handle.file(), buffer.data(), command.count);
  RequestFacts facts =
      finish(machine, handle.file(), *request, command.count, command.timeout, USBPRN_PIPE_BULK_IN);
  facts.transfers = transfersAfter(model, logSeen, true);
  size_t got = std::min<uint64_t>(facts.information, buffer.size());
  read.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  read.request = facts;
  return read;
}

}  // namespace nrvsim
