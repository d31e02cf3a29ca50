// Just enough JSON to read nrvsim --json: objects, arrays, strings (escapes
// kept as UTF-8), numbers, true, false and null.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace soak {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  // The member of that name, or null when there is none or this is no object.
  const JsonValue& operator[](const std::string& name) const;
  bool isNull() const { return kind == Kind::Null; }
  double numberOr(double otherwise) const { return kind == Kind::Number ? number : otherwise; }
  std::string textOr(const std::string& otherwise) const { return kind == Kind::String ? text : otherwise; }
};

// The document, or nothing (with where it went wrong) when the text is not one JSON document.
std::optional<JsonValue> parseJson(const std::string& text, std::string* error);

}  // namespace soak
