// kernel32: critical sections, checked as the verifier checks them.
#include <windows.h>

#include "user/process.h"

extern "C" {

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  nrv::currentProcess("InitializeCriticalSection")
      .criticalSections()
      .initialize(lpCriticalSection, __builtin_return_address(0));
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  nrv::currentProcess("EnterCriticalSection")
      .criticalSections()
      .enter(lpCriticalSection, __builtin_return_address(0));
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  nrv::currentProcess("LeaveCriticalSection")
      .criticalSections()
      .leave(lpCriticalSection, __builtin_return_address(0));
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  nrv::currentProcess("DeleteCriticalSection")
      .criticalSections()
      .remove(lpCriticalSection, __builtin_return_address(0));
}

}  // extern "C"
