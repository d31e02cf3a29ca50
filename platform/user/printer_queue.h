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

  // PRINTER_INFO_5A with its strings after the record: the bytes it takes, and writing it into a buffer that
  // large.
  DWORD info5Size() const;
  void writeInfo5(LPBYTE buffer) const;

 private:
  std::string name_;
  std::string port_;
  std::atomic<DWORD> notSelected_;
  std::atomic<DWORD> retry_;
};

}  // namespace nrv
