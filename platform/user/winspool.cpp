// winspool: a program's port calls, carried to the spooler process and
// answered there. As on Windows 2000, the call's pointers are checked before
// it leaves the program (RPC_X_NULL_REF_POINTER), a spooler that does not run
// cannot be reached (RPC_S_SERVER_UNAVAILABLE), and the spooler checks the rest.
// On failure the count of ports returned is 0.
#include <windows.h>
#include <winspool.h>

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

}  // extern "C"
