#include "json_value.h"

#include <cctype>
#include <cstdlib>

namespace soak {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool document(JsonValue* value) {
    if (!parse(value)) return false;
    space();
    return at_ == text_.size();
  }

  size_t position() const { return at_; }

 private:
  void space() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) at_++;
  }

  bool take(char expected) {
    space();
    if (at_ >= text_.size() || text_[at_] != expected) return false;
    at_++;
    return true;
  }

  bool word(const char* expected, JsonValue* value, JsonValue::Kind kind, bool boolean) {
    std::string wanted(expected);
    if (text_.compare(at_, wanted.size(), wanted) != 0) return false;
    at_ += wanted.size();
    value->kind = kind;
    value->boolean = boolean;
    return true;
  }

  bool parse(JsonValue* value) {
    space();
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return object(value);
      case '[':
        return array(value);
      case '"':
        value->kind = JsonValue::Kind::String;
        return string(&value->text);
      case 't':
        return word("true", value, JsonValue::Kind::Bool, true);
      case 'f':
        return word("false", value, JsonValue::Kind::Bool, false);
      case 'n':
        return word("null", value, JsonValue::Kind::Null, false);
      default:
        return number(value);
    }
  }

  bool object(JsonValue* value) {
    value->kind = JsonValue::Kind::Object;
    at_++;
    if (take('}')) return true;
    do {
      std::string name;
      space();
      if (!string(&name) || !take(':') || !parse(&value->members[name])) return false;
    } while (take(','));
    return take('}');
  }

  bool array(JsonValue* value) {
    value->kind = JsonValue::Kind::Array;
    at_++;
    if (take(']')) return true;
    do {
      value->items.emplace_back();
      if (!parse(&value->items.back())) return false;
    } while (take(','));
    return take(']');
  }

  static void appendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | code >> 6);
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | code >> 12);
      *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool string(std::string* out) {
    if (at_ >= text_.size() || text_[at_] != '"') return false;
    at_++;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      char escape = text_[at_++];
      switch (escape) {
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) return false;
          appendUtf8(out, static_cast<unsigned>(std::strtoul(text_.substr(at_, 4).c_str(), nullptr, 16)));
          at_ += 4;
          break;
        }
        default:
          *out += escape;
          break;
      }
    }
    if (at_ >= text_.size()) return false;
    at_++;
    return true;
  }

  bool number(JsonValue* value) {
    const char* start = text_.c_str() + at_;
    char* end = nullptr;
    value->number = std::strtod(start, &end);
    if (end == start) return false;
    value->kind = JsonValue::Kind::Number;
    at_ += static_cast<size_t>(end - start);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const {
  static const JsonValue none;
  auto found = members.find(name);
  return found == members.end() ? none : found->second;
}

std::optional<JsonValue> parseJson(const std::string& text, std::string* error) {
  Parser parser(text);
  JsonValue value;
  if (parser.document(&value)) return value;
  if (error != nullptr)
    *error = "not one JSON document (stopped at byte " + std::to_string(parser.position()) + ")";
  return std::nullopt;
}

}  // namespace soak
