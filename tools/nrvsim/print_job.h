// Reads and writes through the driver, as the port monitor sends them, and the
// bulk transfers the driver made of each.
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events.h"
#include "machine/machine.h"
#include "scenario.h"
#include "session.h"

namespace nrvsim {

// The document a print sends, read piece by piece as it is written, so that
// its size costs no memory.
class Document {
 public:
  // The built-in test page for an empty name; otherwise the file at the path,
  // or nothing when it cannot be read.
  static std::unique_ptr<Document> open(const std::string& name, const std::string& path);

  const std::string& name() const { return name_; }
  size_t size() const { return size_; }
  // The next bytes, at most capacity of them; 0 at the end.
  size_t read(UCHAR* buffer, size_t capacity);
  // Back to the first byte.
  void rewind();

 private:
  std::string name_;
  size_t size_ = 0;
  std::vector<UCHAR> page_;  // the test page
  size_t offset_ = 0;        // into page_
  std::ifstream file_;
};

// Finds the file of every print command (relative names from baseDirectory)
// and makes sure it can be read; throws ScenarioError for one that cannot.
void checkDocuments(std::vector<Command>& commands, const std::string& baseDirectory);

// Where a job's requests go: the printer's open handle, or one opened for the job.
struct JobTarget {
  std::string printer;
  nrv::UsbDevice* usb = nullptr;
  PFILE_OBJECT file = nullptr;      // null when no handle could be opened
  std::optional<NTSTATUS> ownOpen;  // the job opened its own handle, with this status
};

JobTarget openTarget(nrv::Machine& machine, const NamedPrinter& printer);
// Closes the job's own handle; true when that removed the unplugged printer's stack.
bool closeTarget(nrv::Machine& machine, JobTarget& target);

// Writes the document in the pieces a spooler hands over, stopping at the
// first that falls short. An empty document is one write of no bytes.
DocumentPrinted printDocument(nrv::Machine& machine, const JobTarget& target, Document& document,
                              uint64_t timeout);
DataRead readBack(nrv::Machine& machine, const JobTarget& target, ULONG count, uint64_t timeout);

}  // namespace nrvsim
