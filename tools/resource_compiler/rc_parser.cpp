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

// The symbols of the version header the scripts write, with their documented values.
const std::map<std::string, uint32_t> kVersionSymbols = {
    {"VS_FFI_FILEFLAGSMASK", 0x3F},
    {"VS_FF_DEBUG", 0x01},
    {"VS_FF_PRERELEASE", 0x02},
    {"VS_FF_PATCHED", 0x04},
    {"VS_FF_PRIVATEBUILD", 0x08},
    {"VS_FF_INFOINFERRED", 0x10},
    {"VS_FF_SPECIALBUILD", 0x20},
    {"VOS_UNKNOWN", 0x00000000},
    {"VOS_DOS", 0x00010000},
    {"VOS_OS216", 0x00020000},
    {"VOS_OS232", 0x00030000},
    {"VOS_NT", 0x00040000},
    {"VOS__WINDOWS16", 0x00000001},
    {"VOS__PM16", 0x00000002},
    {"VOS__PM32", 0x00000003},
    {"VOS__WINDOWS32", 0x00000004},
    {"VOS_DOS_WINDOWS16", 0x00010001},
    {"VOS_DOS_WINDOWS32", 0x00010004},
    {"VOS_NT_WINDOWS32", 0x00040004},
    {"VFT_UNKNOWN", 0},
    {"VFT_APP", 1},
    {"VFT_DLL", 2},
    {"VFT_DRV", 3},
    {"VFT_FONT", 4},
    {"VFT_VXD", 5},
    {"VFT_STATIC_LIB", 7},
    {"VFT2_UNKNOWN", 0},
    {"VFT2_DRV_PRINTER", 1},
    {"VFT2_DRV_KEYBOARD", 2},
    {"VFT2_DRV_LANGUAGE", 3},
    {"VFT2_DRV_DISPLAY", 4},
    {"VFT2_DRV_MOUSE", 5},
    {"VFT2_DRV_NETWORK", 6},
    {"VFT2_DRV_SYSTEM", 7},
    {"VFT2_DRV_INSTALLABLE", 8},
    {"VFT2_DRV_SOUND", 9},
    {"VFT2_DRV_COMM", 10},
    {"VFT2_DRV_VERSIONED_PRINTER", 12},
};

constexpr uint16_t kVersionInfoName = 1;  // VS_VERSION_INFO

class Parser {
 public:
  explicit Parser(std::string_view script) : lexer_(script) { advance(); }

  ResourceScript run() {
    while (token_.kind != TokenKind::End) statement();
    return std::move(script_);
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
      Token name = token_;
      advance();
      if (!isWord("VERSIONINFO")) {
        fail("'" + name.text + " " + token_.text +
             "' is no resource the compiler reads (it reads STRINGTABLE, LANGUAGE and VERSIONINFO)");
      }
      versionInfo(name);
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
    script_.strings.push_back(StringResource{language, id, std::move(text), line});
  }

  // NAME VERSIONINFO, header lines, then BEGIN blocks and values END.
  void versionInfo(const Token& name) {
    VersionResource resource{language_, kVersionInfoName, FixedVersion{}, {}, name.line};
    if (name.kind == TokenKind::Number && name.number >= 1 && name.number <= 0xFFFF) {
      resource.name = static_cast<uint16_t>(name.number);
    } else if (name.text != "VS_VERSION_INFO") {
      throw ScriptError(name.line, "a VERSIONINFO is named '" + name.text +
                                       "'; the compiler reads VS_VERSION_INFO or a number from 1 to 65535");
    }
    advance();
    versionHeader(&resource.fixed);
    resource.children = versionBody();
    auto [known, added] = versionLines_.emplace(std::pair{resource.language, resource.name}, name.line);
    if (!added) {
      throw ScriptError(name.line, "a VERSIONINFO of language " + std::to_string(resource.language) +
                                       " is given again (first on line " + std::to_string(known->second) +
                                       ")");
    }
    script_.versions.push_back(std::move(resource));
  }

  void versionHeader(FixedVersion* fixed) {
    while (!opensBlock()) {
      if (isWord("FILEVERSION")) {
        advance();
        versionNumber(&fixed->fileVersionMs, &fixed->fileVersionLs);
      } else if (isWord("PRODUCTVERSION")) {
        advance();
        versionNumber(&fixed->productVersionMs, &fixed->productVersionLs);
      } else if (isWord("FILEFLAGSMASK")) {
        advance();
        fixed->flagsMask = flagsExpression();
      } else if (isWord("FILEFLAGS")) {
        advance();
        fixed->flags = flagsExpression();
      } else if (isWord("FILEOS")) {
        advance();
        fixed->os = flagsExpression();
      } else if (isWord("FILETYPE")) {
        advance();
        fixed->type = flagsExpression();
      } else if (isWord("FILESUBTYPE")) {
        advance();
        fixed->subtype = flagsExpression();
      } else if (token_.kind == TokenKind::End) {
        fail("a VERSIONINFO has no BEGIN");
      } else {
        fail("'" + token_.text + "' is no VERSIONINFO header line the compiler reads");
      }
    }
  }

  // a[,b[,c[,d]]]: four 16-bit parts, the missing ones 0.
  void versionNumber(uint32_t* mostSignificant, uint32_t* leastSignificant) {
    uint64_t parts[4] = {0, 0, 0, 0};
    for (int index = 0; index < 4; index++) {
      parts[index] = number("a part of a version", 0xFFFF);
      if (!isPunctuation(',')) break;
      if (index == 3) fail("a version has at most four parts");
      advance();
    }
    *mostSignificant = static_cast<uint32_t>(parts[0] << 16 | parts[1]);
    *leastSignificant = static_cast<uint32_t>(parts[2] << 16 | parts[3]);
  }

  // Numbers and version symbols, joined by |.
  uint32_t flagsExpression() {
    uint32_t value = 0;
    for (;;) {
      if (token_.kind == TokenKind::Word) {
        auto symbol = kVersionSymbols.find(token_.text);
        if (symbol == kVersionSymbols.end())
          fail("'" + token_.text + "' is no version symbol the compiler knows");
        value |= symbol->second;
        advance();
      } else {
        value |= static_cast<uint32_t>(number("a version header value", UINT32_MAX));
      }
      if (!isPunctuation('|')) return value;
      advance();
    }
  }

  // BEGIN (BLOCK "key" body | VALUE "key", values)* END
  std::vector<VersionNode> versionBody() {
    if (token_.kind == TokenKind::End) fail("the script ends where a version block's BEGIN was expected");
    if (!opensBlock()) fail("'" + token_.text + "' where a version block's BEGIN was expected");
    advance();
    std::vector<VersionNode> nodes;
    while (!closesBlock()) {
      VersionNode node;
      if (isWord("BLOCK")) {
        advance();
        node.key = versionKey("BLOCK");
        node.children = versionBody();
      } else if (isWord("VALUE")) {
        advance();
        node.key = versionKey("VALUE");
        versionValue(&node);
      } else if (token_.kind == TokenKind::End) {
        fail("a version block is not closed");
      } else {
        fail("'" + token_.text + "' where a BLOCK, VALUE or END was expected");
      }
      nodes.push_back(std::move(node));
    }
    advance();
    return nodes;
  }

  std::u16string versionKey(const char* what) {
    if (token_.kind != TokenKind::String) fail(std::string(what) + " must be followed by its name in quotes");
    std::u16string key = token_.string;
    advance();
    return key;
  }

  // , "text" ["more text" ...] | , number [, number ...]
  void versionValue(VersionNode* node) {
    if (!isPunctuation(',')) fail("a VALUE's name must be followed by a comma and its value");
    advance();
    if (token_.kind == TokenKind::String) {
      node->kind = VersionNode::Kind::Text;
      while (token_.kind == TokenKind::String) {
        node->text += token_.string;
        advance();
      }
      if (isPunctuation(',')) fail("a VALUE holds one text; strings after a comma are not read");
      return;
    }
    node->kind = VersionNode::Kind::Binary;
    for (;;) {
      bool wide = !token_.text.empty() && (token_.text.back() == 'L' || token_.text.back() == 'l');
      uint64_t value = number("a VALUE's value", wide ? UINT32_MAX : 0xFFFF);
      for (size_t byte = 0; byte < (wide ? 4u : 2u); byte++) {
        node->binary.push_back(static_cast<uint8_t>(value >> (8 * byte)));
      }
      if (!isPunctuation(',')) return;
      advance();
    }
  }

  Lexer lexer_;
  Token token_;
  uint16_t language_ = kUnitedStatesEnglish;
  ResourceScript script_;
  std::map<std::pair<uint16_t, uint16_t>, int> lines_;
  std::map<std::pair<uint16_t, uint16_t>, int> versionLines_;
};

}  // namespace

ResourceScript readResourceScript(std::string_view script) { return Parser(script).run(); }

}  // namespace rc
