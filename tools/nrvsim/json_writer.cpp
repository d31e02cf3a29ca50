#include "json_writer.h"

#include <cstdio>

#include "utf8_text.h"

namespace nrvsim {

namespace {

void appendEscaped(std::string& quoted, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
  quoted += escaped;
}

}  // namespace

// Device answers are bytes, not always text: a byte that is no part of UTF-8
// is written as the character of that number, so the document stays valid.
std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (size_t index = 0; index < text.size(); index++) {
    char character = text[index];
    auto byte = static_cast<unsigned char>(character);
    switch (character) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          appendEscaped(quoted, byte);
        } else if (byte < 0x80) {
          quoted += character;
        } else if (size_t length = utf8SequenceLength(text.substr(index))) {
          quoted.append(text.substr(index, length));
          index += length - 1;
        } else {
          appendEscaped(quoted, byte);
        }
    }
  }
  return quoted + "\"";
}

void JsonWriter::separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!empty_.empty()) {
    if (!empty_.back()) out_ += ',';
    empty_.back() = false;
  }
}

void JsonWriter::beginObject() {
  separate();
  out_ += '{';
  empty_.push_back(true);
}

void JsonWriter::endObject() {
  out_ += '}';
  empty_.pop_back();
}

void JsonWriter::beginArray() {
  separate();
  out_ += '[';
  empty_.push_back(true);
}

void JsonWriter::endArray() {
  out_ += ']';
  empty_.pop_back();
}

JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  out_ += jsonString(name);
  out_ += ':';
  afterKey_ = true;
  return *this;
}

void JsonWriter::value(std::string_view text) {
  separate();
  out_ += jsonString(text);
}

void JsonWriter::value(bool flag) {
  separate();
  out_ += flag ? "true" : "false";
}

}  // namespace nrvsim
