// The calling thread's last error, as kernel32 keeps it in the thread's environment block.
#include <windows.h>

#include "base/thread_context.h"
#include "user/process.h"

extern "C" {

WINBASEAPI DWORD WINAPI GetLastError(VOID) {
  nrv::currentProcess("GetLastError");
  return nrv::currentThread("GetLastError").lastError;
}

WINBASEAPI VOID WINAPI SetLastError(DWORD dwErrCode) {
  nrv::currentProcess("SetLastError");
  nrv::currentThread("SetLastError").lastError = dwErrCode;
}

}  // extern "C"
