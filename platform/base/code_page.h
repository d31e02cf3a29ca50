// The machine's ANSI code page, for the kernel's conversions between 8-bit text
// and UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace nrv {

// Windows-1252: bytes 0x80..0x9F carry typographic characters; unassigned bytes
// map to the same-numbered control characters, as Windows does.
char16_t ansiToUnicode(unsigned char byte);
// Characters the code page lacks become '?'.
char unicodeToAnsi(char16_t character);

}  // namespace nrv
