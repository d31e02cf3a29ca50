// user32: wsprintfA, the formatter programs use instead of a C runtime.
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

}  // namespace nrv

extern "C" {

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("wsprintfA");
  nrv::requirePointer(lpOut, "wsprintfA", "lpOut", caller);
  nrv::requirePointer(lpFmt, "wsprintfA", "lpFmt", caller);
  va_list arguments;
  va_start(arguments, lpFmt);
  std::string output = nrv::formatLikeWsprintf(process.services().locale, lpFmt, arguments);
  va_end(arguments);
  if (output.size() >= nrv::kLargestOutput) output.resize(nrv::kLargestOutput - 1);
  nrv::checkBufferFits(process, lpOut, output.size() + 1, "wsprintfA", caller);
  std::memcpy(lpOut, output.c_str(), output.size() + 1);
  return static_cast<int>(output.size());
}

}  // extern "C"
