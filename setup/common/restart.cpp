// The restart both programs offer: the shutdown privilege first (systems
// without security tokens need none), then the request, which returns at once.
#include "cleanup.h"

BOOL EnablePrivilege(LPCSTR PrivilegeName) {
  HANDLE token;
  TOKEN_PRIVILEGES privileges;
  BOOL adjusted;

  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    return GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
  }
  if (!LookupPrivilegeValueA(NULL, PrivilegeName, &privileges.Privileges[0].Luid)) {
    CloseHandle(token);
    return FALSE;
  }
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
  CloseHandle(token);
  return adjusted;
}

VOID RestartComputer(VOID) {
  EnablePrivilege("SeShutdownPrivilege");
  ExitWindowsEx(EWX_SHUTDOWN | EWX_REBOOT, 0xFFFFFFFF);
}
