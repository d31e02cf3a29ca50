// kernel32: events, waits and sleeping, on the machine's virtual clock.
#include <windows.h>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "user/call_checks.h"
#include "user/process.h"
#include "user/waitable.h"

namespace nrv {

namespace {

BOOL changeEvent(HANDLE handle, bool signalled, const char* service) {
  Process& process = currentProcess(service);
  std::shared_ptr<EventObject> event = process.reference<EventObject>(handle);
  if (event == nullptr) {
    setLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Scheduler& scheduler = process.services().scheduler;
  if (signalled) {
    setSignal(scheduler, *event->signal());
  } else {
    resetSignal(scheduler, *event->signal());
  }
  return TRUE;
}

std::string waitText(DWORD milliseconds) {
  return milliseconds == INFINITE ? std::string("with no time limit") : format("for %u ms", milliseconds);
}

}  // namespace

}  // namespace nrv

extern "C" {

// Named events would be shared between processes, which nothing here needs.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  UNREFERENCED_PARAMETER(lpEventAttributes);
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("CreateEventA");
  if (lpName != nullptr) {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("CreateEventA(\"%s\") from %s: named events are not simulated by "
                              "this machine",
                              lpName, nrv::describeCodeAddress(caller).c_str()));
  }
  HANDLE event = process.addHandle(
      std::make_unique<nrv::EventObject>(bManualReset != FALSE, bInitialState != FALSE), caller);
  nrv::setLastError(ERROR_SUCCESS);
  return event;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return nrv::changeEvent(hEvent, true, "SetEvent"); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return nrv::changeEvent(hEvent, false, "ResetEvent"); }

// Events and files (a file's own event) can be waited on; anything else is
// not a waitable handle.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("WaitForSingleObject");
  std::shared_ptr<nrv::WaitableObject> object = process.reference<nrv::WaitableObject>(hHandle);
  if (object == nullptr) {
    nrv::setLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return nrv::waitForSignal(process.services().scheduler, object->signal(), dwMilliseconds, [=] {
    return nrv::format("WaitForSingleObject(%p) on %s from %s, %s", hHandle, object->kind(),
                       nrv::describeCodeAddress(caller).c_str(), nrv::waitText(dwMilliseconds).c_str());
  });
}

VOID WINAPI Sleep(DWORD dwMilliseconds) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("Sleep");
  nrv::sleepFor(process.services().scheduler, dwMilliseconds, [=] {
    return nrv::format("Sleep from %s, %s", nrv::describeCodeAddress(caller).c_str(),
                       nrv::waitText(dwMilliseconds).c_str());
  });
}

}  // extern "C"
