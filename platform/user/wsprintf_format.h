// The formatting of wsprintfA: %[-][#][0][width][.precision][h|l|I64]type
// with the types c C d i u x X s S p and %%; no floating point, no '*'. A
// type it does not know is written as it stands, without the '%'. Wide
// characters and strings (%C, %S, %lc, %ls) are converted to the ANSI code
// page, and a NULL string prints as "(null)".
#pragma once

#include <cstdarg>
#include <string>

namespace nrv {

class SystemLocale;

std::string formatLikeWsprintf(SystemLocale& locale, const char* pattern, va_list arguments);

}  // namespace nrv
