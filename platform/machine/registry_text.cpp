#include "machine/registry_text.h"

#include <cstring>

#include "base/text.h"

namespace nrv {

namespace {

constexpr char kHeader[] = "nrv registry 1";

bool needsEscape(char16_t unit) {
  return unit < 0x20 || (unit >= 0x7F && unit < 0xA0) || unit == u'%' || unit == u'"';
}

void appendUtf8(uint32_t point, std::string* out) {
  if (point < 0x80) {
    *out += static_cast<char>(point);
  } else if (point < 0x800) {
    *out += static_cast<char>(0xC0 | point >> 6);
    *out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    *out += static_cast<char>(0xE0 | point >> 12);
    *out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | point >> 18);
    *out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

std::string escaped(std::u16string_view text) {
  std::string out;
  for (size_t index = 0; index < text.size(); index++) {
    char16_t unit = text[index];
    bool high = unit >= 0xD800 && unit < 0xDC00;
    bool pair = high && index + 1 < text.size() && text[index + 1] >= 0xDC00 && text[index + 1] < 0xE000;
    if (pair) {
      appendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[index + 1] - 0xDC00), &out);
      index++;
    } else if (needsEscape(unit) || (unit >= 0xD800 && unit < 0xE000)) {
      out += format("%%%04X", static_cast<unsigned>(unit));
    } else {
      appendUtf8(unit, &out);
    }
  }
  return out;
}

int hexDigit(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

bool readHex(std::string_view text, size_t count, uint32_t* value) {
  if (text.size() < count) return false;
  *value = 0;
  for (size_t index = 0; index < count; index++) {
    int digit = hexDigit(text[index]);
    if (digit < 0) return false;
    *value = *value << 4 | static_cast<uint32_t>(digit);
  }
  return true;
}

// One UTF-8 character at `at`; false for bytes that are no UTF-8 or encode a surrogate.
bool readUtf8(std::string_view text, size_t* at, uint32_t* point) {
  auto byte = static_cast<uint8_t>(text[*at]);
  size_t length = byte < 0x80             ? 1
                  : (byte & 0xE0) == 0xC0 ? 2
                  : (byte & 0xF0) == 0xE0 ? 3
                  : (byte & 0xF8) == 0xF0 ? 4
                                          : 0;
  if (length == 0 || *at + length > text.size()) return false;
  *point = length == 1 ? byte : byte & (0x7F >> length);
  for (size_t index = 1; index < length; index++) {
    auto next = static_cast<uint8_t>(text[*at + index]);
    if ((next & 0xC0) != 0x80) return false;
    *point = *point << 6 | (next & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*point < kSmallest[length] || *point > 0x10FFFF || (*point >= 0xD800 && *point < 0xE000)) return false;
  *at += length;
  return true;
}

// Text written by `escaped`, up to `end`; false when it is damaged.
bool unescaped(std::string_view text, std::u16string* out, std::string* error) {
  for (size_t at = 0; at < text.size();) {
    if (text[at] == '%') {
      uint32_t unit = 0;
      if (!readHex(text.substr(at + 1), 4, &unit)) {
        *error = "'%' is not followed by four hexadecimal digits";
        return false;
      }
      *out += static_cast<char16_t>(unit);
      at += 5;
      continue;
    }
    uint32_t point = 0;
    if (!readUtf8(text, &at, &point)) {
      *error = "the text is not UTF-8";
      return false;
    }
    if (point >= 0x10000) {
      *out += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      *out += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      *out += static_cast<char16_t>(point);
    }
  }
  return true;
}

// A quoted string at `at`, which is moved past it.
bool readQuoted(const std::string& line, size_t* at, std::u16string* text, std::string* error) {
  if (*at >= line.size() || line[*at] != '"') {
    *error = "a quoted text is missing";
    return false;
  }
  size_t end = line.find('"', *at + 1);
  if (end == std::string::npos) {
    *error = "a quoted text has no closing '\"'";
    return false;
  }
  text->clear();
  if (!unescaped(std::string_view(line).substr(*at + 1, end - *at - 1), text, error)) return false;
  *at = end + 1;
  return true;
}

void skipSpaces(const std::string& line, size_t* at) {
  while (*at < line.size() && line[*at] == ' ') ++*at;
}

bool readWord(const std::string& line, size_t* at, std::string* word) {
  skipSpaces(line, at);
  size_t start = *at;
  while (*at < line.size() && line[*at] != ' ') ++*at;
  *word = line.substr(start, *at - start);
  return !word->empty();
}

std::u16string unitsOf(const std::vector<uint8_t>& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t index = 0; index < units.size(); index++)
    units[index] = static_cast<char16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
  return units;
}

// The readable form of a value, or nothing when only hexadecimal keeps its bytes.
std::string readableForm(const RegistryValue& value) {
  if (value.type == REG_DWORD && value.bytes.size() == 4) {
    uint32_t number = value.bytes[0] | value.bytes[1] << 8 | value.bytes[2] << 16 |
                      static_cast<uint32_t>(value.bytes[3]) << 24;
    return format("dword 0x%08X", number);
  }
  if (value.bytes.size() % 2 != 0 || value.bytes.empty()) return "";
  std::u16string units = unitsOf(value.bytes);
  if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && units.find(u'\0') == units.size() - 1) {
    units.pop_back();
    return std::string(value.type == REG_SZ ? "sz" : "expand_sz") + " \"" + escaped(units) + "\"";
  }
  if (value.type == REG_MULTI_SZ && units.size() >= 1 && units.back() == u'\0') {
    units.pop_back();
    // Each string ends in a NUL and none is empty, or an empty list is the one NUL.
    if (units.empty()) return "multi_sz";
    if (units.back() != u'\0' || units.find(u"\0\0", 0, 2) != std::u16string::npos || units.front() == u'\0')
      return "";
    std::string form = "multi_sz";
    for (size_t start = 0; start < units.size();) {
      size_t end = units.find(u'\0', start);
      form += " \"" + escaped(std::u16string_view(units).substr(start, end - start)) + "\"";
      start = end + 1;
    }
    return form;
  }
  return "";
}

std::string valueText(const RegistryValue& value) {
  std::string readable = readableForm(value);
  if (!readable.empty()) return readable;
  std::string text = format("hex(%u)", static_cast<unsigned>(value.type));
  for (uint8_t byte : value.bytes) text += format(" %02x", byte);
  return text;
}

void appendUnits(std::u16string_view text, std::vector<uint8_t>* bytes) {
  for (char16_t unit : text) {
    bytes->push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes->push_back(static_cast<uint8_t>(unit >> 8));
  }
  bytes->push_back(0);
  bytes->push_back(0);
}

bool parseValueData(const std::string& line, size_t at, RegistryValue* value, std::string* error) {
  std::string form;
  if (!readWord(line, &at, &form)) {
    *error = "the value's type is missing";
    return false;
  }
  if (form == "dword") {
    std::string number;
    uint32_t parsed = 0;
    if (!readWord(line, &at, &number) || number.size() != 10 || number.compare(0, 2, "0x") != 0 ||
        !readHex(std::string_view(number).substr(2), 8, &parsed)) {
      *error = "a dword is written 0x and eight hexadecimal digits";
      return false;
    }
    value->type = REG_DWORD;
    value->bytes = {static_cast<uint8_t>(parsed), static_cast<uint8_t>(parsed >> 8),
                    static_cast<uint8_t>(parsed >> 16), static_cast<uint8_t>(parsed >> 24)};
  } else if (form == "sz" || form == "expand_sz" || form == "multi_sz") {
    value->type = form == "sz" ? REG_SZ : form == "expand_sz" ? REG_EXPAND_SZ : REG_MULTI_SZ;
    int strings = 0;
    for (skipSpaces(line, &at); at < line.size(); skipSpaces(line, &at)) {
      std::u16string text;
      if (!readQuoted(line, &at, &text, error)) return false;
      appendUnits(text, &value->bytes);
      strings++;
    }
    if (value->type != REG_MULTI_SZ && strings != 1) {
      *error = form + " takes one quoted text";
      return false;
    }
    if (value->type == REG_MULTI_SZ) value->bytes.insert(value->bytes.end(), {0, 0});
    return true;
  } else if (form.compare(0, 4, "hex(") == 0 && form.back() == ')' && form.size() > 5) {
    std::string number = form.substr(4, form.size() - 5);
    if (number.find_first_not_of("0123456789") != std::string::npos || number.size() > 10) {
      *error = "hex(TYPE) takes the type's number";
      return false;
    }
    unsigned long long type = std::stoull(number);
    if (type > 0xFFFFFFFFull) {
      *error = "the type's number is too large";
      return false;
    }
    value->type = static_cast<ULONG>(type);
    std::string byte;
    while (readWord(line, &at, &byte)) {
      uint32_t parsed = 0;
      if (byte.size() != 2 || !readHex(byte, 2, &parsed)) {
        *error = "'" + byte + "' is no byte in hexadecimal";
        return false;
      }
      value->bytes.push_back(static_cast<uint8_t>(parsed));
    }
    return true;
  } else {
    *error = "unknown value type '" + form + "'";
    return false;
  }
  skipSpaces(line, &at);
  if (at != line.size()) {
    *error = "text follows the value";
    return false;
  }
  return true;
}

bool parseLine(const std::string& line, std::vector<RegistryKeyState>* keys, std::string* error) {
  if (line.front() == '[') {
    if (line.back() != ']' || line.size() < 3) {
      *error = "a key line is [\\PATH]";
      return false;
    }
    std::u16string path;
    if (!unescaped(std::string_view(line).substr(1, line.size() - 2), &path, error)) return false;
    if (path.front() != u'\\' || path.back() == u'\\' || path.find(u"\\\\") != std::u16string::npos) {
      *error = "a key path starts with '\\' and has no empty name";
      return false;
    }
    keys->push_back(RegistryKeyState{path, {}});
    return true;
  }
  if (keys->empty()) {
    *error = "a value comes before any key";
    return false;
  }
  size_t at = 0;
  NamedRegistryValue value;
  if (!readQuoted(line, &at, &value.name, error)) return false;
  skipSpaces(line, &at);
  if (at >= line.size() || line[at] != '=') {
    *error = "'=' is missing after the value's name";
    return false;
  }
  if (!parseValueData(line, at + 1, &value.value, error)) return false;
  keys->back().values.push_back(std::move(value));
  return true;
}

}  // namespace

std::string registryText(const std::vector<RegistryKeyState>& keys) {
  std::string text = std::string(kHeader) + "\n";
  for (const RegistryKeyState& key : keys) {
    text += "\n[" + escaped(key.path) + "]\n";
    for (const NamedRegistryValue& value : key.values)
      text += "\"" + escaped(value.name) + "\" = " + valueText(value.value) + "\n";
  }
  return text;
}

bool parseRegistryText(const std::string& text, std::vector<RegistryKeyState>* keys, int* lineNumber,
                       std::string* error) {
  keys->clear();
  *lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++*lineNumber;
    if (*lineNumber == 1) {
      if (line != kHeader) {
        *error = std::string("the first line is not \"") + kHeader + "\"";
        return false;
      }
      continue;
    }
    if (line.empty()) continue;
    if (!parseLine(line, keys, error)) return false;
  }
  if (*lineNumber == 0) {
    *lineNumber = 1;
    *error = "the file is empty";
    return false;
  }
  return true;
}

std::string quotedBytes(const std::string& text) {
  std::string out = "\"";
  for (char character : text) {
    auto byte = static_cast<uint8_t>(character);
    if (byte < 0x20 || byte == 0x7F || character == '%' || character == '"') {
      out += format("%%%02X", byte);
    } else {
      out += character;
    }
  }
  return out + "\"";
}

bool readQuotedBytes(const std::string& line, size_t* at, std::string* text) {
  skipSpaces(line, at);
  if (*at >= line.size() || line[*at] != '"') return false;
  size_t end = line.find('"', *at + 1);
  if (end == std::string::npos) return false;
  text->clear();
  for (size_t index = *at + 1; index < end; index++) {
    if (line[index] != '%') {
      *text += line[index];
      continue;
    }
    uint32_t byte = 0;
    if (!readHex(std::string_view(line).substr(index + 1, std::min<size_t>(2, end - index - 1)), 2, &byte))
      return false;
    *text += static_cast<char>(byte);
    index += 2;
  }
  *at = end + 1;
  return true;
}

}  // namespace nrv
