// winspool: a program's port and printer calls, carried to the spooler
// process and answered there. As on Windows 2000, the call's pointers are
// checked before it leaves the program (RPC_X_NULL_REF_POINTER), a spooler
// that does not run cannot be reached (RPC_S_SERVER_UNAVAILABLE), and the
// spooler checks the rest. On failure the count of ports returned is 0. A
// printer handle is a handle of the process that opened it (the monitor's
// StartDocPort opens one in the spooler's own), left open at its end it is
// reported as a leak.
#include <windows.h>
#include <winspool.h>

#include <memory>

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "user/process.h"
#include "user/spooler.h"

namespace {

// Only the local print server exists on this machine.
void requireLocalServer(const char* routine, LPCSTR server) {
  if (server != nullptr && server[0] != '\0') {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("%s: the print server '%s' is not simulated by this machine", routine, server));
  }
}

BOOL fail(const char* routine, DWORD error) {
  nrv::currentThread(routine).lastError = error;
  return FALSE;
}

class PrinterHandle : public nrv::HandleObject {
 public:
  explicit PrinterHandle(std::shared_ptr<nrv::PrinterQueue> printer) : printer_(std::move(printer)) {}
  const char* kind() const override { return "a printer"; }
  nrv::PrinterQueue& printer() { return *printer_; }

 private:
  std::shared_ptr<nrv::PrinterQueue> printer_;
};

}  // namespace

extern "C" {

WINSPOOLAPI BOOL WINAPI EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                   LPDWORD pcReturned) {
  static const char* const kRoutine = "EnumPortsA";
  nrv::Spooler& spooler = nrv::currentProcess(kRoutine).services().spooler;
  requireLocalServer(kRoutine, pName);
  if (pcbNeeded == nullptr || pcReturned == nullptr || (pPorts == nullptr && cbBuf != 0))
    return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  if (Level != 1 && Level != 2) return fail(kRoutine, ERROR_INVALID_LEVEL);
  nrv::SpoolerAnswer answer = spooler.enumPorts(Level, pPorts, cbBuf, pcbNeeded, pcReturned);
  return answer.result ? TRUE : fail(kRoutine, answer.error);
}

WINSPOOLAPI BOOL WINAPI DeletePortA(LPSTR pName, HWND hWnd, LPSTR pPortName) {
  static const char* const kRoutine = "DeletePortA";
  nrv::Spooler& spooler = nrv::currentProcess(kRoutine).services().spooler;
  requireLocalServer(kRoutine, pName);
  if (pPortName == nullptr) return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  nrv::SpoolerAnswer answer = spooler.deletePort(hWnd, pPortName);
  return answer.result ? TRUE : fail(kRoutine, answer.error);
}

// Opening the print server itself (no name), and asking for a data type or
// device mode, are not simulated; the access asked for is not checked.
WINSPOOLAPI BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, PHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault) {
  static const char* const kRoutine = "OpenPrinterA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::Spooler& spooler = process.services().spooler;
  if (pPrinterName == nullptr)
    nrv::bugCheck("NOT_IMPLEMENTED", "OpenPrinterA: a handle of the print server itself is not simulated");
  if (pDefault != nullptr && (pDefault->pDatatype != nullptr || pDefault->pDevMode != nullptr))
    nrv::bugCheck("NOT_IMPLEMENTED",
                  "OpenPrinterA: a data type or device mode in its defaults is not simulated");
  if (phPrinter == nullptr) return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  std::shared_ptr<nrv::PrinterQueue> printer = spooler.printer(pPrinterName);
  if (printer == nullptr) return fail(kRoutine, ERROR_INVALID_PRINTER_NAME);
  *phPrinter =
      process.addHandle(std::make_unique<PrinterHandle>(std::move(printer)), __builtin_return_address(0));
  return TRUE;
}

// Level 5 only: the record, then its strings.
WINSPOOLAPI BOOL WINAPI GetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf,
                                    LPDWORD pcbNeeded) {
  static const char* const kRoutine = "GetPrinterA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if (pcbNeeded == nullptr || (pPrinter == nullptr && cbBuf != 0))
    return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!process.services().spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  std::shared_ptr<PrinterHandle> handle = process.reference<PrinterHandle>(hPrinter);
  if (handle == nullptr) return fail(kRoutine, ERROR_INVALID_HANDLE);
  if (Level > 9) return fail(kRoutine, ERROR_INVALID_LEVEL);
  if (Level != 5)
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("GetPrinterA: level %u is not simulated, only level 5", Level));
  *pcbNeeded = handle->printer().info5Size();
  if (*pcbNeeded > cbBuf) return fail(kRoutine, ERROR_INSUFFICIENT_BUFFER);
  handle->printer().writeInfo5(pPrinter);
  return TRUE;
}

WINSPOOLAPI BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  static const char* const kRoutine = "ClosePrinter";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if (process.object<PrinterHandle>(hPrinter) == nullptr) return fail(kRoutine, ERROR_INVALID_HANDLE);
  process.removeHandle(hPrinter);
  return TRUE;
}

}  // extern "C"
