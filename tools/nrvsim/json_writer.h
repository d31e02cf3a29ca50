// A small JSON writer for nrvsim's --json document: compact output, commas
// and string escaping taken care of, nothing else.
#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <vector>

namespace nrvsim {

class JsonWriter {
 public:
  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // The name of the next member of the enclosing object.
  JsonWriter& key(std::string_view name);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(const std::string& text) { value(std::string_view(text)); }
  void value(bool flag);
  template <std::integral Number>
  requires(!std::same_as<Number, bool>) void value(Number number) {
    separate();
    out_ += std::to_string(number);
  }

  template <typename Value>
  void field(std::string_view name, const Value& content) {
    key(name);
    value(content);
  }

  const std::string& text() const { return out_; }

 private:
  // Writes the comma before every value but the first of its container.
  void separate();

  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

// The text as a JSON string literal, quotes included. Bytes of 0x80 and above
// are passed through: the callers give UTF-8.
std::string jsonString(std::string_view text);

}  // namespace nrvsim
