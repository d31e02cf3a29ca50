// Reads standard input and succeeds when it is exactly one JSON document,
// so that tests can check nrvsim --json without tools the machine may lack.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

namespace {

class Checker {
 public:
  explicit Checker(const std::string& text) : text_(text) {}

  bool document() {
    space();
    if (!value()) return false;
    space();
    return at_ == text_.size();
  }

  size_t position() const { return at_; }

 private:
  bool value() {
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return container('}', true);
      case '[':
        return container(']', false);
      case '"':
        return string();
      case 't':
        return word("true");
      case 'f':
        return word("false");
      case 'n':
        return word("null");
      default:
        return number();
    }
  }

  // An object (members "key": value) or an array, after its opening bracket.
  bool container(char close, bool members) {
    at_++;
    space();
    if (peek(close)) return true;
    do {
      space();
      if (members && !key()) return false;
      if (!value()) return false;
      space();
    } while (peek(','));
    return peek(close);
  }

  // A member's name and its colon.
  bool key() {
    if (!string()) return false;
    space();
    if (!peek(':')) return false;
    space();
    return true;
  }

  bool string() {
    if (!peek('"')) return false;
    while (at_ < text_.size()) {
      auto character = static_cast<unsigned char>(text_[at_++]);
      if (character == '"') return true;
      if (character < 0x20) return false;
      if (character == '\\' && !escape()) return false;
    }
    return false;
  }

  bool escape() {
    if (at_ >= text_.size()) return false;
    char kind = text_[at_++];
    if (std::strchr("\"\\/bfnrt", kind) != nullptr) return true;
    if (kind != 'u') return false;
    for (int digit = 0; digit < 4; digit++) {
      if (at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_++]))) return false;
    }
    return true;
  }

  bool number() {
    peek('-');
    // A leading zero is the whole integer part.
    if (!peek('0') && !digits()) return false;
    if (peek('.') && !digits()) return false;
    if (peek('e') || peek('E')) {
      if (!peek('+')) peek('-');
      if (!digits()) return false;
    }
    return true;
  }

  bool digits() {
    size_t start = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) at_++;
    return at_ > start;
  }

  bool word(const char* expected) {
    size_t length = std::strlen(expected);
    if (text_.compare(at_, length, expected) != 0) return false;
    at_ += length;
    return true;
  }

  bool peek(char expected) {
    if (at_ >= text_.size() || text_[at_] != expected) return false;
    at_++;
    return true;
  }

  void space() {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr) at_++;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

int main() {
  std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  Checker checker(text);
  if (checker.document()) return 0;
  std::fprintf(stderr, "json_check: not one JSON document (stopped at byte %zu of %zu)\n", checker.position(),
               text.size());
  return 1;
}
