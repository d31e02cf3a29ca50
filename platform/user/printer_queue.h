// A printer as the spooler keeps it: its name, its port and how long a job
// may wait on the port, in milliseconds (Windows shows them in seconds).
// Jobs for one port print one after the other, whichever of its printers they
// were sent to.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <atomic>
#include <string>

namespace nrv {

struct PrinterTimeouts {
  // What Windows gives a new printer.
  static constexpr DWORD kDefaultNotSelected = 15000;
  static constexpr DWORD kDefaultRetry = 45000;
  DWORD notSelected = kDefaultNotSelected;
  DWORD retry = kDefaultRetry;
};

class PrinterQueue {
 public:
  PrinterQueue(std::string name, std::string port, PrinterTimeouts timeouts)
      : name_(std::move(name)),
        port_(std::move(port)),
        notSelected_(timeouts.notSelected),
        retry_(timeouts.retry) {}

  const std::string& name() const { return name_; }
  const std::string& port() const { return port_; }
  PrinterTimeouts timeouts() const { return PrinterTimeouts{notSelected_.load(), retry_.load()}; }
  void setTimeouts(PrinterTimeouts timeouts) {
    notSelected_.store(timeouts.notSelected);
    retry_.store(timeouts.retry);
  }

  // What the printer's security grants whoever opens it: everything, as to an
  // administrator, unless a test takes rights away.
  ACCESS_MASK grantedAccess() const { return granted_.load(); }
  void restrictAccess(ACCESS_MASK granted) { granted_.store(granted); }

  // For tests: a printer that opens with every right but whose deletion fails
  // with this error (0: it can be deleted).
  DWORD scriptedDeletionFailure() const { return deletionFailure_.load(); }
  void scriptDeletionFailure(DWORD error) { deletionFailure_.store(error); }

  // Deleted while a job still used it: it goes once its last job ends.
  bool pendingDeletion() const { return pendingDeletion_.load(); }
  void markPendingDeletion() { pendingDeletion_.store(true); }

  // PRINTER_INFO_5A: the bytes the record and its strings take, and writing
  // the record with its strings packed just below stringsEnd, as the spooler
  // packs them from the end of the caller's buffer. Returns where they begin.
  DWORD info5Size() const;
  LPBYTE writeInfo5(PRINTER_INFO_5A* record, LPBYTE stringsEnd) const;

 private:
  std::string name_;
  std::string port_;
  std::atomic<DWORD> notSelected_;
  std::atomic<DWORD> retry_;
  std::atomic<ACCESS_MASK> granted_{PRINTER_ALL_ACCESS};
  std::atomic<DWORD> deletionFailure_{0};
  std::atomic<bool> pendingDeletion_{false};
};

}  // namespace nrv
