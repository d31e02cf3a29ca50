#include "json_writer.h"

#include <cstdio>

namespace nrvsim {

std::string jsonString(std::string_view text) {
  std::string quoted = "\"";
  for (char character : text) {
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
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
          quoted += escaped;
        } else {
          quoted += character;
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
