#include "base/text.h"

#include <cstdarg>
#include <cstdio>

namespace nrv {

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  va_end(args);
  return text;
}

size_t wideLength(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) length++;
  return length;
}

const WCHAR* asWide(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }
WCHAR* asWide(char16_t* text) { return reinterpret_cast<WCHAR*>(text); }

std::u16string toUtf16(std::string_view text) {
  std::u16string result;
  for (size_t index = 0; index < text.size();) {
    auto byte = static_cast<unsigned char>(text[index]);
    char32_t code;
    size_t extra;
    if (byte < 0x80) {
      code = byte;
      extra = 0;
    } else if ((byte & 0xE0) == 0xC0) {
      code = byte & 0x1F;
      extra = 1;
    } else if ((byte & 0xF0) == 0xE0) {
      code = byte & 0x0F;
      extra = 2;
    } else {
      code = byte & 0x07;
      extra = 3;
    }
    index++;
    for (size_t n = 0; n < extra && index < text.size(); n++, index++) {
      code = (code << 6) | (static_cast<unsigned char>(text[index]) & 0x3F);
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      result += static_cast<char16_t>(0xD800 + (code >> 10));
      result += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      result += static_cast<char16_t>(code);
    }
  }
  return result;
}

std::string toUtf8(std::u16string_view text) {
  std::string result;
  for (size_t index = 0; index < text.size(); index++) {
    char32_t code = text[index];
    if (code >= 0xD800 && code < 0xDC00 && index + 1 < text.size()) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++index] - 0xDC00);
    }
    if (code < 0x80) {
      result += static_cast<char>(code);
    } else if (code < 0x800) {
      result += static_cast<char>(0xC0 | (code >> 6));
      result += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      result += static_cast<char>(0xE0 | (code >> 12));
      result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      result += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      result += static_cast<char>(0xF0 | (code >> 18));
      result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      result += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return result;
}

std::u16string fromUnicodeString(const UNICODE_STRING& string) {
  if (string.Buffer == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(WCHAR));
}

void setUnicodeString(UNICODE_STRING& string, const std::u16string& text) {
  string.Buffer = const_cast<WCHAR*>(asWide(text.c_str()));
  string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  string.MaximumLength = static_cast<USHORT>(string.Length + sizeof(WCHAR));
}

}  // namespace nrv
