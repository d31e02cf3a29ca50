// user32: ExitWindowsEx, for a restart. The call only asks: it returns at
// once and the machine records the request, which whoever runs the machine
// carries out when it gets to it. Windows 2000 refuses a program whose token
// does not have the shutdown privilege enabled; Windows 98 has no tokens.
#include <windows.h>

#include "base/bugcheck.h"
#include "base/text.h"
#include "user/access_token.h"
#include "user/call_checks.h"
#include "user/process.h"

namespace {

// A forced restart differs only in how running programs are asked to end,
// and nothing else runs on this machine.
constexpr UINT kForceFlags = EWX_FORCE | EWX_FORCEIFHUNG;

}  // namespace

extern "C" {

WINUSERAPI BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  static const char* const kRoutine = "ExitWindowsEx";
  UNREFERENCED_PARAMETER(dwReason);  // Windows 2000 does not record a reason
  nrv::Process& process = nrv::currentProcess(kRoutine);
  UINT action = uFlags & ~kForceFlags;
  if (action != EWX_REBOOT && action != (EWX_SHUTDOWN | EWX_REBOOT)) {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("%s: the flags 0x%x are not simulated by this machine, which only restarts "
                              "(EWX_REBOOT, or EWX_SHUTDOWN | EWX_REBOOT)",
                              kRoutine, uFlags));
  }
  nrv::UserServices& services = process.services();
  if (services.profile == nrv::OsProfile::Windows2000 &&
      !process.token()->enabled(*nrv::privilegeValue(SE_SHUTDOWN_NAME))) {
    nrv::setLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  services.restartRequested = true;
  return TRUE;
}

}  // extern "C"
