#include "user/wsprintf_format.h"

#include <cstdint>

#include "base/system_locale.h"
#include "base/text.h"

namespace nrv {

namespace {

enum class Size { Default, Short, Long, Int64 };

struct Spec {
  bool left = false;
  bool prefix = false;
  bool zeros = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  Size size = Size::Default;
  char type = 0;
};

size_t readNumber(const char*& at) {
  size_t value = 0;
  while (*at >= '0' && *at <= '9') value = value * 10 + size_t(*at++ - '0');
  return value;
}

Spec readSpec(const char*& at) {
  Spec spec;
  for (;; at++) {
    if (*at == '-')
      spec.left = true;
    else if (*at == '#')
      spec.prefix = true;
    else if (*at == '0')
      spec.zeros = true;
    else
      break;
  }
  spec.width = readNumber(at);
  if (*at == '.') {
    at++;
    spec.hasPrecision = true;
    spec.precision = readNumber(at);
  }
  if (*at == 'h') {
    spec.size = Size::Short;
    at++;
  } else if (*at == 'l') {
    spec.size = Size::Long;
    at++;
  } else if (at[0] == 'I' && at[1] == '6' && at[2] == '4') {
    spec.size = Size::Int64;
    at += 3;
  }
  spec.type = *at;
  return spec;
}

std::string padded(const Spec& spec, std::string sign, std::string body) {
  size_t length = sign.size() + body.size();
  if (length >= spec.width) return sign + body;
  std::string fill(spec.width - length, ' ');
  if (spec.left) return sign + body + fill;
  if (spec.zeros) return sign + std::string(spec.width - length, '0') + body;
  return fill + sign + body;
}

std::string number(const Spec& spec, va_list& arguments) {
  bool isSigned = spec.type == 'd' || spec.type == 'i';
  uint64_t magnitude;
  std::string sign;
  if (spec.size == Size::Int64) {
    int64_t value = va_arg(arguments, int64_t);
    magnitude = isSigned && value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    if (isSigned && value < 0) sign = "-";
  } else {
    // int and long are both 32 bits on Windows; short arrives promoted.
    int32_t value = va_arg(arguments, int32_t);
    if (spec.size == Size::Short) value = isSigned ? int16_t(value) : int32_t(uint16_t(value));
    magnitude = isSigned && value < 0 ? 0 - uint64_t(int64_t(value)) : uint64_t(uint32_t(value));
    if (isSigned && value < 0) sign = "-";
  }
  const char* digits = spec.type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  unsigned base = spec.type == 'x' || spec.type == 'X' ? 16 : 10;
  std::string body;
  for (uint64_t rest = magnitude; rest != 0; rest /= base) body.insert(body.begin(), digits[rest % base]);
  size_t minimum = spec.hasPrecision ? spec.precision : 1;
  if (body.size() < minimum) body.insert(0, minimum - body.size(), '0');
  if (spec.prefix && base == 16 && magnitude != 0) sign += spec.type == 'X' ? "0X" : "0x";
  return padded(spec, sign, body);
}

std::string text(const Spec& spec, std::string body) {
  if (spec.hasPrecision && body.size() > spec.precision) body.resize(spec.precision);
  Spec plain = spec;
  plain.zeros = false;
  return padded(plain, "", body);
}

// Lowercase types take ANSI text unless 'l' widens them; uppercase ones take
// wide text unless 'h' narrows them.
bool isWide(const Spec& spec) {
  bool upper = spec.type == 'C' || spec.type == 'S';
  return upper ? spec.size != Size::Short : spec.size == Size::Long;
}

std::string wideText(SystemLocale& locale, const char16_t* wide) {
  std::u16string value;
  for (; *wide != 0; wide++) value += *wide;
  return locale.toAnsi(value);
}

std::string character(SystemLocale& locale, const Spec& spec, va_list& arguments) {
  int value = va_arg(arguments, int);
  if (!isWide(spec)) return text(spec, std::string(1, char(value)));
  return text(spec, locale.toAnsi(std::u16string(1, char16_t(value))));
}

std::string string(SystemLocale& locale, const Spec& spec, va_list& arguments) {
  if (isWide(spec)) {
    const auto* wide = va_arg(arguments, const char16_t*);
    return text(spec, wide == nullptr ? "(null)" : wideText(locale, wide));
  }
  const char* narrow = va_arg(arguments, const char*);
  return text(spec, narrow == nullptr ? "(null)" : narrow);
}

std::string pointer(const Spec& spec, va_list& arguments) {
  const void* value = va_arg(arguments, const void*);
  return text(spec,
              format("%0*llX", int(sizeof(void*) * 2), static_cast<unsigned long long>(uintptr_t(value))));
}

}  // namespace

std::string formatLikeWsprintf(SystemLocale& locale, const char* pattern, va_list arguments) {
  va_list rest;
  va_copy(rest, arguments);
  std::string output;
  for (const char* at = pattern; *at != '\0'; at++) {
    if (*at != '%') {
      output += *at;
      continue;
    }
    at++;
    Spec spec = readSpec(at);
    switch (spec.type) {
      case '\0':
        va_end(rest);
        return output;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
        output += number(spec, rest);
        break;
      case 'c':
      case 'C':
        output += character(locale, spec, rest);
        break;
      case 's':
      case 'S':
        output += string(locale, spec, rest);
        break;
      case 'p':
        output += pointer(spec, rest);
        break;
      default:
        output += spec.type;
        break;
    }
  }
  va_end(rest);
  return output;
}

}  // namespace nrv
