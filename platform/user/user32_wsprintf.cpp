// user32: wsprintfA and wvsprintfA, the formatters programs use instead of a C runtime.
#include <windows.h>

#include <cstring>

#include "base/system_locale.h"
#include "user/call_checks.h"
#include "user/process.h"
#include "user/wsprintf_format.h"

namespace nrv {

namespace {

// The system writes at most this many bytes, the NUL included.
constexpr size_t kLargestOutput = 1024;

}  // namespace

namespace {

int formatInto(const char* routine, LPSTR out, LPCSTR pattern, va_list arguments, const void* caller) {
  Process& process = currentProcess(routine);
  requirePointer(out, routine, "lpOut", caller);
  requirePointer(pattern, routine, "lpFmt", caller);
  std::string output = formatLikeWsprintf(process.services().locale, pattern, arguments);
  if (output.size() >= kLargestOutput) output.resize(kLargestOutput - 1);
  checkBufferFits(process, out, output.size() + 1, routine, caller);
  std::memcpy(out, output.c_str(), output.size() + 1);
  return static_cast<int>(output.size());
}

}  // namespace

}  // namespace nrv

extern "C" {

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list arguments;
  va_start(arguments, lpFmt);
  int written = nrv::formatInto("wsprintfA", lpOut, lpFmt, arguments, __builtin_return_address(0));
  va_end(arguments);
  return written;
}

int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  return nrv::formatInto("wvsprintfA", lpOut, lpFmt, arglist, __builtin_return_address(0));
}

}  // extern "C"
