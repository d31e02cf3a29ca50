// UTF-16 text on the host. wchar_t is 16 bits in this build, so the C library's
// wide-character routines (which assume 32 bits) must not be used on it.
#pragma once

#include <wdm.h>

#include <string>
#include <string_view>

namespace nrv {

// Formats like printf.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

size_t wideLength(const WCHAR* text);
const WCHAR* asWide(const char16_t* text);
WCHAR* asWide(char16_t* text);

// For ASCII and UTF-8 names and messages.
std::u16string toUtf16(std::string_view text);
std::string toUtf8(std::u16string_view text);

std::u16string fromUnicodeString(const UNICODE_STRING& string);
// Points the counted string at the text, which must outlive it.
void setUnicodeString(UNICODE_STRING& string, const std::u16string& text);

}  // namespace nrv
