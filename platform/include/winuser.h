// user32: string resources (and, later, message boxes).
#pragma once

#include <stdarg.h>
#include <windef.h>

// Formats as the system does: no floating point, at most 1024 bytes with the NUL.
WINUSERAPI int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
WINUSERAPI int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);
WINUSERAPI int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
