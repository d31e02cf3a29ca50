// Trace lines: each routine says what it does and what failed, in a line it
// formats and then lets go; the shipped programs keep no log.
#include <stdarg.h>

#include "cleanup.h"

// wvsprintfA writes at most 1024 bytes, its NUL included; the prefix, cut to
// fit its share, goes before them.
#define TRACE_FORMATTED_SIZE 1024
#define TRACE_PREFIX_SIZE 32

static VOID FormatTraceLine(LPCSTR Prefix, LPCSTR Format, va_list Arguments) {
  CHAR line[TRACE_PREFIX_SIZE + TRACE_FORMATTED_SIZE];

  lstrcpynA(line, Prefix, TRACE_PREFIX_SIZE);
  wvsprintfA(line + lstrlenA(line), Format, Arguments);
}

VOID Trace(LPCSTR Format, ...) {
  va_list arguments;

  va_start(arguments, Format);
  FormatTraceLine(TracePrefix, Format, arguments);
  va_end(arguments);
}

VOID TraceWithPrefix(LPCSTR Prefix, LPCSTR Format, ...) {
  va_list arguments;

  va_start(arguments, Format);
  FormatTraceLine(Prefix, Format, arguments);
  va_end(arguments);
}
