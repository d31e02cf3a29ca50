// The words, numbers, strings and punctuation of a resource script, with its
// comments and preprocessor lines taken out. Strings come out as UTF-16, their
// escapes applied and their text read in the script's code page (1252 unless a
// "#pragma code_page(N)" line says otherwise, 65001 being UTF-8).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace rc {

// A line the compiler cannot read.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& what) : std::runtime_error(what), line_(line) {}
  int line() const { return line_; }

 private:
  int line_;
};

enum class TokenKind { Word, Number, String, Punctuation, End };

struct Token {
  TokenKind kind = TokenKind::End;
  int line = 0;
  std::string text;  // as written (a string's without its quotes)
  uint64_t number = 0;
  std::u16string string;
};

class Lexer {
 public:
  explicit Lexer(std::string_view script);

  Token next();

 private:
  void skipBlanks();
  void directive();
  Token number();
  Token word();
  Token string(bool wide);
  // Appends the unit of the escape at pos_ (just after the backslash) to raw
  // (narrow strings) or units (wide strings).
  void escape(bool wide, std::string& raw, std::u16string& units);
  std::u16string decode(const std::string& bytes) const;

  std::string_view script_;
  size_t pos_ = 0;
  int line_ = 1;
  bool atLineStart_ = true;
  unsigned codePage_ = 1252;
};

}  // namespace rc
