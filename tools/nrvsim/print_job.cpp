#include "print_job.h"

#include <algorithm>

#include "machine/bugcheck.h"
#include "machine/status_text.h"

namespace nrvsim {

namespace {

// What one write carries, as a spooler hands its buffer to the port monitor.
constexpr size_t kWriteSize = 1 << 20;
constexpr UCHAR kDirectionIn = 0x80;

std::string transferList(const std::vector<nrv::BulkTransferRecord>& transfers) {
  std::string text;
  for (const nrv::BulkTransferRecord& transfer : transfers) {
    if (!text.empty()) text += ", ";
    text += std::to_string(transfer.data.size());
    if (transfer.status != USBD_STATUS_SUCCESS) text += nrv::format(" (USBD status 0x%08X)", transfer.status);
  }
  return text;
}

// The OUT transfers the printer saw end after the first `seen` ones.
std::vector<nrv::BulkTransferRecord> outTransfersAfter(nrv::UsbDeviceModel& model, size_t& seen) {
  std::vector<nrv::BulkTransferRecord> all = model.bulkLog();
  std::vector<nrv::BulkTransferRecord> fresh;
  for (size_t index = seen; index < all.size(); index++) {
    if ((all[index].endpoint & kDirectionIn) == 0) fresh.push_back(all[index]);
  }
  seen = all.size();
  return fresh;
}

}  // namespace

std::vector<UCHAR> testPage() {
  std::string page = "NRVUSB test page\r\n";
  for (int line = 1; page.size() < 150000; line++) {
    page += nrv::format("%05d The quick brown fox jumps over the lazy dog. 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n",
                        line);
  }
  page.resize(150000);
  return std::vector<UCHAR>(page.begin(), page.end());
}

int printDocument(PrinterBench& bench, const AddedPrinter& printer, const std::string& name,
                  const std::vector<UCHAR>& document, Transcript& transcript) {
  nrv::IoEntry& io = bench.machine.io();
  nrv::UsbDeviceModel& model = printer.usb->model();
  transcript.step("printing %s (%zu bytes): open the printer's interface and write", name.c_str(), document.size());
  PFILE_OBJECT file = nullptr;
  NTSTATUS opened = io.open(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName), u"", &file);
  transcript.detail("open returned %s", nrv::statusText(opened).c_str());
  if (!NT_SUCCESS(opened)) return 1;

  size_t logSeen = model.bulkLog().size();
  size_t receivedBefore = model.outData().size();
  size_t offset = 0;
  int write = 0;
  bool complete = true;
  do {
    size_t length = std::min(kWriteSize, document.size() - offset);
    nrv::IrpOutcome outcome = io.write(file, document.data() + offset, static_cast<ULONG>(length));
    std::vector<nrv::BulkTransferRecord> transfers = outTransfersAfter(model, logSeen);
    transcript.step("write %d: %zu bytes; completed with %s, %llu bytes", ++write, length,
                    nrv::statusText(outcome.status.Status).c_str(),
                    static_cast<unsigned long long>(outcome.status.Information));
    transcript.detail("%zu bulk OUT transfer(s): %s", transfers.size(),
                      transfers.empty() ? "none" : transferList(transfers).c_str());
    complete = NT_SUCCESS(outcome.status.Status) && outcome.status.Information == length;
    offset += length;
  } while (complete && offset < document.size());
  io.close(file);

  std::vector<UCHAR> received = model.outData();
  received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(receivedBefore));
  if (received == document) {
    transcript.step("the printer received %zu bytes, identical to the document", received.size());
    return 0;
  }
  transcript.step("the printer received %zu of the document's %zu bytes%s", received.size(), document.size(),
                  std::equal(received.begin(), received.end(), document.begin(), document.end()) ? "" : ", and they differ from it");
  return 1;
}

}  // namespace nrvsim
