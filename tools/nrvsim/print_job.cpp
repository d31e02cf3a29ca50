#include "print_job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/bugcheck.h"
#include "base/text.h"
#include "printer_facts.h"
#include "usbprn_ioctl.h"

namespace nrvsim {

namespace {

// What one write carries, as a spooler hands its buffer to the port monitor.
constexpr size_t kWriteSize = 1 << 20;
constexpr size_t kTestPageSize = 150000;

// Follows the device's bulk log in one direction from where a job began, so
// each transfer record is looked at once however long the job.
class TransferLog {
 public:
  TransferLog(const nrv::UsbDeviceModel& model, bool in)
      : model_(model), in_(in), seen_(model.bulkLogSize()) {}

  std::vector<nrv::BulkTransferRecord> fresh() {
    std::vector<nrv::BulkTransferRecord> records = model_.bulkLogSince(seen_);
    seen_ += records.size();
    std::erase_if(records, [this](const nrv::BulkTransferRecord& record) {
      return ((record.endpoint & nrv::kUsbDirectionIn) != 0) != in_;
    });
    return records;
  }

 private:
  const nrv::UsbDeviceModel& model_;
  bool in_;
  size_t seen_;
};

void addTransfer(std::vector<TransferRun>& runs, size_t bytes, USBD_STATUS status) {
  if (!runs.empty() && runs.back().bytes == bytes && runs.back().status == status) {
    runs.back().count++;
  } else {
    runs.push_back(TransferRun{bytes, status, 1});
  }
}

void addRequest(std::vector<RequestFacts>& requests, const RequestFacts& request) {
  if (!requests.empty()) {
    RequestFacts same = request;
    same.times = requests.back().times;
    if (same == requests.back()) {
      requests.back().times++;
      return;
    }
  }
  requests.push_back(request);
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

std::string resolve(const std::string& file, const std::string& baseDirectory) {
  bool relative = file.front() != '/' && !baseDirectory.empty();
  return relative ? baseDirectory + "/" + file : file;
}

// Fills in the path of a document's file (none for the test page).
void checkReadable(const std::string& name, std::string& path, const Command& command,
                   const std::string& baseDirectory) {
  if (name.empty()) return;
  path = resolve(name, baseDirectory);
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw ScenarioError{command.line, command.position,
                        "cannot read '" + path + "': " + std::strerror(errno)};
  }
  // A document has a size: a folder, a device such as /dev/zero or a pipe has none.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw ScenarioError{command.line, command.position, "cannot print '" + path + "': not a regular file"};
  }
}

// A plain-text test page long enough to need several transfers.
std::vector<UCHAR> testPage() {
  std::string page = "NRVUSB test page\r\n";
  for (int line = 1; page.size() < kTestPageSize; line++) {
    page += nrv::format(
        "%05d The quick brown fox jumps over the lazy dog. 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n", line);
  }
  page.resize(kTestPageSize);
  return std::vector<UCHAR>(page.begin(), page.end());
}

}  // namespace

std::unique_ptr<Document> Document::open(const std::string& name, const std::string& path) {
  auto document = std::make_unique<Document>();
  if (name.empty()) {
    document->name_ = "the built-in test page";
    document->page_ = testPage();
    document->size_ = document->page_.size();
    return document;
  }
  document->name_ = name;
  document->file_.open(path, std::ios::binary | std::ios::ate);
  if (!document->file_) return nullptr;
  document->size_ = static_cast<size_t>(document->file_.tellg());
  document->file_.seekg(0);
  return document;
}

void Document::rewind() {
  offset_ = 0;
  if (!file_.is_open()) return;
  file_.clear();
  file_.seekg(0);
}

size_t Document::read(UCHAR* buffer, size_t capacity) {
  if (!file_.is_open()) {
    size_t count = std::min(capacity, page_.size() - offset_);
    std::copy_n(page_.begin() + static_cast<std::ptrdiff_t>(offset_), count, buffer);
    offset_ += count;
    return count;
  }
  file_.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(capacity));
  return static_cast<size_t>(file_.gcount());
}

void checkDocuments(std::vector<Command>& commands, const std::string& baseDirectory) {
  for (Command& command : commands) {
    if (auto* print = std::get_if<PrintCommand>(&command.action))
      checkReadable(print->file, print->path, command, baseDirectory);
    if (auto* start = std::get_if<StartCommand>(&command.action)) {
      if (auto* print = std::get_if<PrintCommand>(&start->work))
        checkReadable(print->file, print->path, command, baseDirectory);
    }
    if (auto* job = std::get_if<JobCommand>(&command.action))
      checkReadable(job->file, job->path, command, baseDirectory);
  }
}

JobTarget openTarget(nrv::Machine& machine, const NamedPrinter& printer) {
  JobTarget target{printer.name, printer.usb, printer.handle, std::nullopt};
  if (target.file != nullptr) return target;
  std::optional<std::u16string> link = printerInterfaceLink(machine, *printer.usb);
  target.ownOpen = link ? machine.io().open(*link, u"", &target.file) : STATUS_OBJECT_NAME_NOT_FOUND;
  if (!NT_SUCCESS(*target.ownOpen)) target.file = nullptr;
  return target;
}

bool closeTarget(nrv::Machine& machine, JobTarget& target) {
  if (!target.ownOpen || target.file == nullptr) return false;
  machine.io().close(target.file);
  target.file = nullptr;
  std::vector<nrv::UsbDevice*> devices = machine.usb().devices();
  return std::find(devices.begin(), devices.end(), target.usb) == devices.end();
}

DocumentPrinted printDocument(nrv::Machine& machine, const JobTarget& target, Document& document,
                              uint64_t timeout) {
  DocumentPrinted printed;
  printed.printer = target.printer;
  printed.document = document.name();
  printed.size = document.size();
  printed.ownOpen = target.ownOpen;
  if (target.file == nullptr) return printed;

  TransferLog log(target.usb->model(), false);
  std::vector<UCHAR> piece(std::min(kWriteSize, std::max<size_t>(document.size(), 1)));
  size_t sent = 0;
  bool inOrder = true;
  for (bool first = true;; first = false) {
    size_t length = document.read(piece.data(), piece.size());
    if (length == 0 && !first) break;
    std::unique_ptr<nrv::PendingRequest> request =
        machine.io().startWrite(target.file, piece.data(), static_cast<ULONG>(length));
    RequestFacts write = finish(machine, target.file, *request, length, timeout, USBPRN_PIPE_BULK_OUT);
    // The transfers of a write carry its bytes from the start, in order.
    size_t offset = 0;
    for (const nrv::BulkTransferRecord& record : log.fresh()) {
      addTransfer(write.transfers, record.moved, record.status);
      inOrder = inOrder && record.moved <= length - offset &&
                record.checksum == nrv::bulkChecksum(piece.data() + offset, record.moved);
      offset += std::min<size_t>(record.moved, length - offset);
      printed.received += record.moved;
    }
    sent += length;
    addRequest(printed.writes, write);
    if (!NT_SUCCESS(write.status) || write.information != length) break;
  }
  printed.identical = inOrder && printed.received == sent && sent == printed.size;
  return printed;
}

DataRead readBack(nrv::Machine& machine, const JobTarget& target, ULONG count, uint64_t timeout) {
  DataRead read;
  read.printer = target.printer;
  read.ownOpen = target.ownOpen;
  if (target.file == nullptr) return read;

  TransferLog log(target.usb->model(), true);
  std::vector<UCHAR> buffer(count);
  std::unique_ptr<nrv::PendingRequest> request = machine.io().startRead(target.file, buffer.data(), count);
  RequestFacts facts = finish(machine, target.file, *request, count, timeout, USBPRN_PIPE_BULK_IN);
  for (const nrv::BulkTransferRecord& record : log.fresh())
    addTransfer(facts.transfers, record.moved, record.status);
  size_t got = std::min<uint64_t>(facts.information, buffer.size());
  read.data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  read.request = facts;
  return read;
}

}  // namespace nrvsim
