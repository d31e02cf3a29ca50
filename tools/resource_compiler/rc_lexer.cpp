#include "rc_lexer.h"

#include <iconv.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace rc {

namespace {

bool isWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isWordPart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* iconvName(unsigned codePage) {
  switch (codePage) {
    case 1252:
      return "CP1252";
    case 932:
      return "CP932";
    case 65001:
      return "UTF-8";
    default:
      return nullptr;
  }
}

}  // namespace

Lexer::Lexer(std::string_view script) : script_(script) {
  // A UTF-8 byte order mark says nothing the code page pragma does not.
  if (script_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
}

Token Lexer::next() {
  skipBlanks();
  if (pos_ >= script_.size()) return Token{TokenKind::End, line_, "", 0, u""};
  char c = script_[pos_];
  if (c == '"') return string(false);
  if ((c == 'L' || c == 'l') && pos_ + 1 < script_.size() && script_[pos_ + 1] == '"') {
    pos_++;
    return string(true);
  }
  if (std::isdigit(static_cast<unsigned char>(c))) return number();
  if (isWordStart(c)) return word();
  pos_++;
  atLineStart_ = false;
  return Token{TokenKind::Punctuation, line_, std::string(1, c), 0, u""};
}

void Lexer::skipBlanks() {
  while (pos_ < script_.size()) {
    char c = script_[pos_];
    if (c == '\n') {
      line_++;
      pos_++;
      atLineStart_ = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      pos_++;
    } else if (c == '#' && atLineStart_) {
      directive();
    } else if (script_.substr(pos_).starts_with("//")) {
      while (pos_ < script_.size() && script_[pos_] != '\n') pos_++;
    } else if (script_.substr(pos_).starts_with("/*")) {
      size_t end = script_.find("*/", pos_ + 2);
      if (end == std::string_view::npos) throw ScriptError(line_, "a comment is never closed");
      for (size_t at = pos_; at < end; at++) line_ += script_[at] == '\n';
      pos_ = end + 2;
    } else {
      return;
    }
  }
}

// Preprocessor lines: #include is passed over (the scripts use numbers, not
// the symbols headers define) and #pragma code_page sets the code page.
void Lexer::directive() {
  size_t end = script_.find('\n', pos_);
  std::string line(script_.substr(pos_, end == std::string_view::npos ? std::string_view::npos : end - pos_));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  pos_ = end == std::string_view::npos ? script_.size() : end;
  std::string directive = line.substr(1);
  directive.erase(0, directive.find_first_not_of(" \t"));
  std::string name = directive.substr(0, directive.find_first_of(" \t("));
  if (name == "include") return;
  if (name == "pragma") {
    unsigned codePage = 0;
    char close = 0;
    std::string rest = directive.substr(name.size());
    if (std::sscanf(rest.c_str(), " code_page ( %u %c", &codePage, &close) == 2 && close == ')') {
      if (iconvName(codePage) == nullptr)
        throw ScriptError(line_, "code page " + std::to_string(codePage) + " is not one the compiler reads");
      codePage_ = codePage;
      return;
    }
  }
  throw ScriptError(line_, "the preprocessor line '" + line + "' is not one the compiler reads");
}

Token Lexer::number() {
  size_t start = pos_;
  while (pos_ < script_.size() && isWordPart(script_[pos_])) pos_++;
  atLineStart_ = false;
  std::string text(script_.substr(start, pos_ - start));
  std::string digits = text;
  // The long suffix says nothing of the value.
  if (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l')) digits.pop_back();
  size_t used = 0;
  uint64_t value = 0;
  try {
    value = std::stoull(digits, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != digits.size() || value > UINT32_MAX)
    throw ScriptError(line_, "'" + text + "' is not a number");
  return Token{TokenKind::Number, line_, text, value, u""};
}

Token Lexer::word() {
  size_t start = pos_;
  while (pos_ < script_.size() && isWordPart(script_[pos_])) pos_++;
  atLineStart_ = false;
  return Token{TokenKind::Word, line_, std::string(script_.substr(start, pos_ - start)), 0, u""};
}

// A string literal from its opening quote. Text between escapes is read in the
// code page; in a wide string an escape gives a UTF-16 unit, in a narrow one a
// byte of the code page. "" stands for one quote.
Token Lexer::string(bool wide) {
  int line = line_;
  size_t start = ++pos_;
  std::string raw;
  std::u16string units;
  // Text read so far goes into the wide string before an escape adds a unit of its own.
  auto flush = [&] {
    if (!wide) return;
    units += decode(raw);
    raw.clear();
  };
  for (;;) {
    if (pos_ >= script_.size() || script_[pos_] == '\n')
      throw ScriptError(line, "a string is not closed on its line");
    char c = script_[pos_++];
    if (c == '"') {
      if (pos_ < script_.size() && script_[pos_] == '"') {
        raw += '"';
        pos_++;
        continue;
      }
      break;
    }
    if (c == '\\') {
      flush();
      escape(wide, raw, units);
      continue;
    }
    raw += c;
  }
  flush();
  atLineStart_ = false;
  Token token{TokenKind::String, line, std::string(script_.substr(start, pos_ - 1 - start)), 0, u""};
  token.string = wide ? units : decode(raw);
  return token;
}

void Lexer::escape(bool wide, std::string& raw, std::u16string& units) {
  auto emit = [&](unsigned value) {
    if (wide) {
      units += static_cast<char16_t>(value);
    } else {
      raw += static_cast<char>(value);
    }
  };
  if (pos_ >= script_.size()) throw ScriptError(line_, "a string ends in a backslash");
  char c = script_[pos_++];
  switch (c) {
    case 'a':
      return emit(0x07);
    case 'b':
      return emit(0x08);
    case 'f':
      return emit(0x0C);
    case 'n':
      return emit(0x0A);
    case 'r':
      return emit(0x0D);
    case 't':
      return emit(0x09);
    case 'v':
      return emit(0x0B);
    case '\\':
    case '"':
    case '\'':
      return emit(static_cast<unsigned char>(c));
    case 'x':
    case 'X': {
      // Two hex digits make a byte, four a wide character.
      unsigned value = 0;
      int digits = 0;
      for (; digits < (wide ? 4 : 2) && pos_ < script_.size() && hexValue(script_[pos_]) >= 0; digits++) {
        value = value * 16 + static_cast<unsigned>(hexValue(script_[pos_++]));
      }
      if (digits == 0) throw ScriptError(line_, "\\x is not followed by a hex digit");
      return emit(value);
    }
    default:
      if (c >= '0' && c <= '7') {
        unsigned value = static_cast<unsigned>(c - '0');
        for (int digits = 1;
             digits < 3 && pos_ < script_.size() && script_[pos_] >= '0' && script_[pos_] <= '7'; digits++) {
          value = value * 8 + static_cast<unsigned>(script_[pos_++] - '0');
        }
        if (!wide && value > 0xFF)
          throw ScriptError(line_, "an octal escape of a narrow string exceeds a byte");
        return emit(value);
      }
      throw ScriptError(line_, std::string("\\") + c + " is not an escape the compiler knows");
  }
}

std::u16string Lexer::decode(const std::string& bytes) const {
  if (bytes.empty()) return u"";
  iconv_t converter = iconv_open("UTF-16LE", iconvName(codePage_));
  if (converter == reinterpret_cast<iconv_t>(-1))
    throw ScriptError(line_, std::string("the host cannot convert from ") + iconvName(codePage_));
  std::vector<char> output(bytes.size() * 4 + 4);
  auto* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* out = output.data();
  size_t outLeft = output.size();
  size_t result = iconv(converter, &in, &inLeft, &out, &outLeft);
  iconv_close(converter);
  if (result == static_cast<size_t>(-1))
    throw ScriptError(line_,
                      "a string holds bytes that are no text in code page " + std::to_string(codePage_));
  std::u16string text((output.size() - outLeft) / 2, u'\0');
  std::memcpy(text.data(), output.data(), text.size() * 2);
  return text;
}

}  // namespace rc
