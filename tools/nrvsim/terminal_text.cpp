#include "terminal_text.h"

#include <cstdio>

namespace nrvsim {

namespace {

std::string escapedByte(unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
  return escaped;
}

// C1 control characters are U+0080 to U+009F, 0xC2 0x80 to 0xC2 0x9F in UTF-8.
bool startsC1Control(std::string_view text, size_t index) {
  return static_cast<unsigned char>(text[index]) == 0xC2 && index + 1 < text.size() &&
         static_cast<unsigned char>(text[index + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[index + 1]) <= 0x9F;
}

bool controlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

std::string quotedText(std::string_view utf8) {
  std::string shown = "\"";
  for (size_t index = 0; index < utf8.size(); index++) {
    auto byte = static_cast<unsigned char>(utf8[index]);
    if (byte == '"' || byte == '\\') {
      shown += '\\';
      shown += utf8[index];
    } else if (controlByte(byte)) {
      shown += escapedByte(byte);
    } else if (startsC1Control(utf8, index)) {
      shown += escapedByte(byte) + escapedByte(static_cast<unsigned char>(utf8[++index]));
    } else {
      shown += utf8[index];
    }
  }
  return shown + "\"";
}

std::string shownName(std::string_view utf8) {
  bool plain = !utf8.empty() && utf8.front() != ' ' && utf8.back() != ' ';
  for (size_t index = 0; plain && index < utf8.size(); index++) {
    auto byte = static_cast<unsigned char>(utf8[index]);
    plain = byte != '"' && !controlByte(byte) && !startsC1Control(utf8, index);
  }
  return plain ? std::string(utf8) : quotedText(utf8);
}

std::string withoutControlBytes(std::string_view text) {
  std::string shown;
  for (char character : text) {
    auto byte = static_cast<unsigned char>(character);
    shown += controlByte(byte) ? escapedByte(byte) : std::string(1, character);
  }
  return shown;
}

std::string quotedBytes(std::string_view text) {
  std::string shown = "\"";
  for (char character : text) {
    auto byte = static_cast<unsigned char>(character);
    if (character == '"' || character == '\\') {
      shown += '\\';
      shown += character;
    } else if (character == '\r') {
      shown += "\\r";
    } else if (character == '\n') {
      shown += "\\n";
    } else if (byte < 0x20 || byte >= 0x7F) {
      shown += escapedByte(byte);
    } else {
      shown += character;
    }
  }
  return shown + "\"";
}

}  // namespace nrvsim
