// user32: string resources, formatting, and ending the session (and, later, message boxes).
#pragma once

#include <stdarg.h>
#include <windef.h>

// Formats as the system does: no floating point, at most 1024 bytes with the NUL.
WINUSERAPI int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
WINUSERAPI int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
WINUSERAPI int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// ExitWindowsEx: what to end, and modifiers.
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define EWX_FORCEIFHUNG 0x00000010

WINUSERAPI BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);
