// kernel32: the last error, the tick count, the version, the system locale
// and the current process's pseudo-handle.
#include <windows.h>

#include "base/scheduler.h"
#include "base/system_locale.h"
#include "base/thread_context.h"
#include "user/process.h"

namespace nrv {

namespace {

// GetVersion's layout: major version in the low byte, minor in the next. On
// the Windows 95/98 family the high word has its two top bits set and gives
// no build number (Windows 98 reports 0xC0000A04); on Windows NT the top bit
// is clear and the high word is the build (2195 for Windows 2000).
constexpr DWORD kWindows98Version = 0xC0000000 | (10 << 8) | 4;
constexpr DWORD kWindows2000Version = (2195u << 16) | (0 << 8) | 5;

}  // namespace

}  // namespace nrv

extern "C" {

DWORD WINAPI GetLastError(VOID) { return nrv::currentThread("GetLastError").lastError; }

VOID WINAPI SetLastError(DWORD dwErrCode) { nrv::currentThread("SetLastError").lastError = dwErrCode; }

DWORD WINAPI GetTickCount(VOID) {
  nrv::UserServices& services = nrv::currentProcess("GetTickCount").services();
  return static_cast<DWORD>(services.tickCountStart.load() + services.scheduler.nowMilliseconds());
}

// The machine may report another system's version, so that a program's
// checks for other systems can run while everything else keeps the profile's rules.
DWORD WINAPI GetVersion(VOID) {
  nrv::UserServices& services = nrv::currentProcess("GetVersion").services();
  DWORD reported = services.reportedVersion.load();
  if (reported != 0) return reported;
  return services.profile == nrv::OsProfile::Windows98 ? nrv::kWindows98Version : nrv::kWindows2000Version;
}

// The value Windows uses; no handle in a process's table ever has it.
HANDLE WINAPI GetCurrentProcess(VOID) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

LCID WINAPI GetSystemDefaultLCID(VOID) {
  return nrv::currentProcess("GetSystemDefaultLCID").services().locale.lcid();
}

}  // extern "C"
