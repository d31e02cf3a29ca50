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

// A handle keeps the rights it was opened with, and its printer after a deletion.
class PrinterHandle : public nrv::HandleObject {
 public:
  PrinterHandle(std::shared_ptr<nrv::PrinterQueue> printer, ACCESS_MASK granted)
      : printer_(std::move(printer)), granted_(granted) {}
  const char* kind() const override { return "a printer"; }
  nrv::PrinterQueue& printer() { return *printer_; }
  const std::shared_ptr<nrv::PrinterQueue>& shared() const { return printer_; }
  ACCESS_MASK granted() const { return granted_; }

 private:
  std::shared_ptr<nrv::PrinterQueue> printer_;
  ACCESS_MASK granted_;
};

// Generic rights become the printer's own, as the printer's security maps them.
ACCESS_MASK printerRights(ACCESS_MASK desired) {
  ACCESS_MASK rights = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if ((desired & GENERIC_READ) != 0) rights |= PRINTER_READ;
  if ((desired & GENERIC_WRITE) != 0) rights |= PRINTER_WRITE;
  if ((desired & GENERIC_EXECUTE) != 0) rights |= PRINTER_EXECUTE;
  if ((desired & GENERIC_ALL) != 0) rights |= PRINTER_ALL_ACCESS;
  return rights;
}

// The environment a monitor must be built for: the running system's, letters in any case.
bool localEnvironment(nrv::OsProfile profile, LPCSTR environment) {
  const char* expected = profile == nrv::OsProfile::Windows98 ? "Windows 4.0" : "Windows NT x86";
  return environment != nullptr && lstrcmpiA(environment, expected) == 0;
}

// Windows 98 has no security: anyone administers its spooler.
bool mayAdministerSpooler(nrv::Process& process) {
  return process.services().profile == nrv::OsProfile::Windows98 || process.token()->administrator();
}

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

// Opening the print server itself (no name) and a device mode in the
// defaults are not simulated. Without defaults a program asks to use the
// printer. RAW is the one data type the machine's printers take.
WINSPOOLAPI BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, PHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault) {
  static const char* const kRoutine = "OpenPrinterA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::Spooler& spooler = process.services().spooler;
  if (pPrinterName == nullptr)
    nrv::bugCheck("NOT_IMPLEMENTED", "OpenPrinterA: a handle of the print server itself is not simulated");
  if (pDefault != nullptr && pDefault->pDevMode != nullptr)
    nrv::bugCheck("NOT_IMPLEMENTED", "OpenPrinterA: a device mode in its defaults is not simulated");
  if (phPrinter == nullptr) return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  std::shared_ptr<nrv::PrinterQueue> printer = spooler.printer(pPrinterName);
  if (printer == nullptr) return fail(kRoutine, ERROR_INVALID_PRINTER_NAME);
  if (pDefault != nullptr && pDefault->pDatatype != nullptr && lstrcmpiA(pDefault->pDatatype, "RAW") != 0)
    return fail(kRoutine, ERROR_INVALID_DATATYPE);
  ACCESS_MASK desired = printerRights(pDefault != nullptr ? pDefault->DesiredAccess : PRINTER_ACCESS_USE);
  if ((desired & MAXIMUM_ALLOWED) != 0)
    nrv::bugCheck("NOT_IMPLEMENTED", "OpenPrinterA: MAXIMUM_ALLOWED is not simulated");
  if ((desired & ~printer->grantedAccess()) != 0) return fail(kRoutine, ERROR_ACCESS_DENIED);
  *phPrinter = process.addHandle(std::make_unique<PrinterHandle>(std::move(printer), desired),
                                 __builtin_return_address(0));
  return TRUE;
}

// The local printers at level 5 only. Other levels and other printers (the
// network's, connections, a named server's) are not simulated.
WINSPOOLAPI BOOL WINAPI EnumPrintersA(DWORD Flags, LPSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                                      LPDWORD pcbNeeded, LPDWORD pcReturned) {
  static const char* const kRoutine = "EnumPrintersA";
  nrv::Spooler& spooler = nrv::currentProcess(kRoutine).services().spooler;
  if (Flags != PRINTER_ENUM_LOCAL)
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("EnumPrintersA: flags 0x%x are not simulated, only PRINTER_ENUM_LOCAL", Flags));
  requireLocalServer(kRoutine, Name);
  if (pcbNeeded == nullptr || pcReturned == nullptr || (pPrinterEnum == nullptr && cbBuf != 0))
    return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  if (Level != 1 && Level != 2 && Level != 4 && Level != 5) return fail(kRoutine, ERROR_INVALID_LEVEL);
  if (Level != 5)
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("EnumPrintersA: level %u is not simulated, only level 5", Level));
  nrv::SpoolerAnswer answer = spooler.enumPrinters(pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
  return answer.result ? TRUE : fail(kRoutine, answer.error);
}

// Deleting needs the DELETE right on the handle; the handle stays valid until it is closed.
WINSPOOLAPI BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  static const char* const kRoutine = "DeletePrinter";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if (!process.services().spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  std::shared_ptr<PrinterHandle> handle = process.reference<PrinterHandle>(hPrinter);
  if (handle == nullptr) return fail(kRoutine, ERROR_INVALID_HANDLE);
  if ((handle->granted() & DELETE) == 0) return fail(kRoutine, ERROR_ACCESS_DENIED);
  nrv::SpoolerAnswer answer = process.services().spooler.deletePrinter(handle->shared());
  return answer.result ? TRUE : fail(kRoutine, answer.error);
}

// Level 2 only, the one level both systems take.
WINSPOOLAPI BOOL WINAPI AddMonitorA(LPSTR pName, DWORD Level, LPBYTE pMonitors) {
  static const char* const kRoutine = "AddMonitorA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::Spooler& spooler = process.services().spooler;
  requireLocalServer(kRoutine, pName);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  if (Level != 2) return fail(kRoutine, ERROR_INVALID_LEVEL);
  auto* info = reinterpret_cast<MONITOR_INFO_2A*>(pMonitors);
  if (info == nullptr || info->pName == nullptr || info->pName[0] == '\0' || info->pDLLName == nullptr ||
      info->pDLLName[0] == '\0')
    return fail(kRoutine, ERROR_INVALID_PARAMETER);
  if (!localEnvironment(process.services().profile, info->pEnvironment))
    return fail(kRoutine, ERROR_INVALID_ENVIRONMENT);
  if (!mayAdministerSpooler(process)) return fail(kRoutine, ERROR_ACCESS_DENIED);
  nrv::SpoolerAnswer answer = spooler.addMonitor(info->pName, info->pDLLName);
  return answer.result ? TRUE : fail(kRoutine, answer.error);
}

// No environment means the running system's.
WINSPOOLAPI BOOL WINAPI DeleteMonitorA(LPSTR pName, LPSTR pEnvironment, LPSTR pMonitorName) {
  static const char* const kRoutine = "DeleteMonitorA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::Spooler& spooler = process.services().spooler;
  requireLocalServer(kRoutine, pName);
  if (pMonitorName == nullptr) return fail(kRoutine, RPC_X_NULL_REF_POINTER);
  if (!spooler.running()) return fail(kRoutine, RPC_S_SERVER_UNAVAILABLE);
  if (pEnvironment != nullptr && !localEnvironment(process.services().profile, pEnvironment))
    return fail(kRoutine, ERROR_INVALID_ENVIRONMENT);
  if (!mayAdministerSpooler(process)) return fail(kRoutine, ERROR_ACCESS_DENIED);
  nrv::SpoolerAnswer answer = spooler.deleteMonitor(pMonitorName);
  return answer.result ? TRUE : fail(kRoutine, answer.error);
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
  handle->printer().writeInfo5(reinterpret_cast<PRINTER_INFO_5A*>(pPrinter), pPrinter + *pcbNeeded);
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
