#include "rc_parser.h"

#include <map>
#include <set>
#include <utility>

namespace rc {

namespace {

// What resource compilers assume when a script names no language.
constexpr uint16_t kUnitedStatesEnglish = 0x0409;

const std::set<std::string> kMemoryFlags = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE", "DISCARDABLE",
                                            "PURE",    "IMPURE",     "SHARED", "NONSHARED"};

class Parser {
 public:
  explicit Parser(std::string_view script) : lexer_(script) { advance(); }

  std::vector<StringResource> run() {
    while (token_.kind != TokenKind::End) statement();
    return std::move(strings_);
  }

 private:
  void advance() { token_ = lexer_.next(); }

  bool isWord(const char* word) const { return token_.kind == TokenKind::Word && token_.text == word; }
  bool isPunctuation(char c) const { return token_.kind == TokenKind::Punctuation && token_.text[0] == c; }
  bool opensBlock() const { return isWord("BEGIN") || isPunctuation('{'); }
  bool closesBlock() const { return isWord("END") || isPunctuation('}'); }

  [[noreturn]] void fail(const std::string& what) const { throw ScriptError(token_.line, what); }

  uint64_t number(const char* what, uint64_t maximum) {
    if (token_.kind != TokenKind::Number)
      fail(std::string(what) + " must be a number, not '" + token_.text + "'");
    uint64_t value = token_.number;
    if (value > maximum) fail(std::string(what) + " " + token_.text + " is out of range");
    advance();
    return value;
  }

  // LANGUAGE primary, sub
  uint16_t readLanguage() {
    advance();
    uint64_t primary = number("a primary language", 0x3FF);
    if (!isPunctuation(',')) fail("LANGUAGE takes a primary language and a sublanguage");
    advance();
    uint64_t sub = number("a sublanguage", 0x3F);
    return static_cast<uint16_t>(sub << 10 | primary);
  }

  void statement() {
    if (isWord("LANGUAGE")) {
      language_ = readLanguage();
    } else if (isWord("STRINGTABLE")) {
      stringTable();
    } else if (token_.kind == TokenKind::Word || token_.kind == TokenKind::Number) {
      // A named resource: NAME TYPE ...
      std::string name = token_.text;
      advance();
      if (!isWord("VERSIONINFO")) {
        fail("'" + name + " " + token_.text +
             "' is no resource the compiler reads (it reads STRINGTABLE, LANGUAGE and VERSIONINFO)");
      }
      skipResource();
    } else {
      fail("'" + token_.text + "' does not begin a statement");
    }
  }

  void stringTable() {
    advance();
    uint16_t language = language_;
    while (!opensBlock()) {
      if (token_.kind == TokenKind::Word && kMemoryFlags.count(token_.text) != 0) {
        advance();
      } else if (isWord("LANGUAGE")) {
        language = readLanguage();
      } else if (isWord("CHARACTERISTICS") || isWord("VERSION")) {
        advance();
        number("a table's characteristics or version", UINT32_MAX);
      } else {
        fail("'" + token_.text + "' where a STRINGTABLE's BEGIN was expected");
      }
    }
    advance();
    while (!closesBlock()) {
      if (token_.kind == TokenKind::End) fail("a STRINGTABLE is not closed");
      entry(language);
    }
    advance();
  }

  // ID [,] "text" ["more text" ...]
  void entry(uint16_t language) {
    int line = token_.line;
    auto id = static_cast<uint16_t>(number("a string identifier", 0xFFFF));
    if (isPunctuation(',')) advance();
    if (token_.kind != TokenKind::String) fail("string " + std::to_string(id) + " has no text");
    std::u16string text;
    while (token_.kind == TokenKind::String) {
      text += token_.string;
      advance();
    }
    auto [known, added] = lines_.emplace(std::pair{language, id}, line);
    if (!added) {
      throw ScriptError(line, "string " + std::to_string(id) + " of language " + std::to_string(language) +
                                  " is given again (first on line " + std::to_string(known->second) + ")");
    }
    strings_.push_back(StringResource{language, id, std::move(text), line});
  }

  // Passes over a resource's header lines and its nested blocks.
  void skipResource() {
    while (!opensBlock()) {
      if (token_.kind == TokenKind::End) fail("a resource has no BEGIN");
      advance();
    }
    int depth = 0;
    do {
      if (token_.kind == TokenKind::End) fail("a resource is not closed");
      if (opensBlock()) depth++;
      if (closesBlock()) depth--;
      advance();
    } while (depth > 0);
  }

  Lexer lexer_;
  Token token_;
  uint16_t language_ = kUnitedStatesEnglish;
  std::vector<StringResource> strings_;
  std::map<std::pair<uint16_t, uint16_t>, int> lines_;
};

}  // namespace

std::vector<StringResource> readStringTables(std::string_view script) { return Parser(script).run(); }

}  // namespace rc
