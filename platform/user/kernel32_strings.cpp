// kernel32: the ANSI string routines programs use instead of a C runtime.
// Windows guards them against bad pointers: a NULL string is empty for
// lstrlenA, sorts first for the comparisons, and makes lstrcpyA fail.
#include <windows.h>

#include <cstring>

#include "base/system_locale.h"
#include "user/call_checks.h"
#include "user/locale_compare.h"
#include "user/process.h"

namespace nrv {

namespace {

int compareStrings(LPCSTR first, LPCSTR second, bool ignoreCase, const char* service) {
  if (first == nullptr || second == nullptr) return first == second ? 0 : first == nullptr ? -1 : 1;
  SystemLocale& locale = currentProcess(service).services().locale;
  return compareForLocale(locale.fromAnsi(first), locale.fromAnsi(second), ignoreCase);
}

}  // namespace

}  // namespace nrv

extern "C" {

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2) {
  return nrv::compareStrings(lpString1, lpString2, false, "lstrcmpA");
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  return nrv::compareStrings(lpString1, lpString2, true, "lstrcmpiA");
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString == nullptr ? 0 : static_cast<int>(std::strlen(lpString));
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2) {
  nrv::Process& process = nrv::currentProcess("lstrcpyA");
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  size_t bytes = std::strlen(lpString2) + 1;
  nrv::checkBufferFits(process, lpString1, bytes, "lstrcpyA", __builtin_return_address(0));
  std::memmove(lpString1, lpString2, bytes);
  return lpString1;
}

// Copies at most iMaxLength - 1 characters and always ends the copy with a NUL;
// a length of 0 writes nothing.
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  nrv::Process& process = nrv::currentProcess("lstrcpynA");
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  if (iMaxLength <= 0) return lpString1;
  size_t characters = strnlen(lpString2, static_cast<size_t>(iMaxLength) - 1);
  nrv::checkBufferFits(process, lpString1, characters + 1, "lstrcpynA", __builtin_return_address(0));
  std::memmove(lpString1, lpString2, characters);
  lpString1[characters] = '\0';
  return lpString1;
}

}  // extern "C"
