#include "scenario_lexer.h"

#include <cctype>

namespace nrvsim {

namespace {

int hexDigit(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

// Splits one line; commands are appended as they end.
class LineLexer {
 public:
  LineLexer(std::string_view line, int lineNumber, int& position, std::vector<RawCommand>& commands)
      : line_(line), lineNumber_(lineNumber), position_(position), commands_(commands) {}

  void run() {
    while (index_ < line_.size()) {
      char character = line_[index_];
      if (character == '"') {
        quoted();
      } else if (character == ';') {
        endCommand();
      } else if (std::isspace(static_cast<unsigned char>(character))) {
        endWord();
      } else if (character == '#' && !inWord_) {
        break;
      } else {
        plain(character);
      }
      index_++;
    }
    endCommand();
  }

 private:
  [[noreturn]] void fail(const std::string& message) {
    throw ScenarioError{lineNumber_, position_ + 1, message};
  }

  void startWord() {
    if (inWord_) return;
    if (current_.words.empty()) commandStart_ = index_;
    inWord_ = true;
    word_ = Word{};
    quotedYet_ = false;
  }

  void plain(char character) {
    startWord();
    if (character == '=' && !word_.keyed && !quotedYet_) {
      if (word_.value.empty()) fail("'=' without an option name before it");
      word_.keyed = true;
      word_.key = std::move(word_.value);
      word_.value.clear();
      return;
    }
    word_.value += character;
  }

  void quoted() {
    startWord();
    quotedYet_ = true;
    for (index_++; index_ < line_.size(); index_++) {
      char character = line_[index_];
      if (character == '"') return;
      word_.value += character == '\\' ? escape() : character;
    }
    fail("unterminated string: a '\"' is missing before the end of the line");
  }

  char escape() {
    if (++index_ >= line_.size()) fail("a '\\' ends the line inside a string");
    switch (line_[index_]) {
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      case '"':
      case '\\':
        return line_[index_];
      case 'x': {
        int high = index_ + 1 < line_.size() ? hexDigit(line_[index_ + 1]) : -1;
        int low = index_ + 2 < line_.size() ? hexDigit(line_[index_ + 2]) : -1;
        if (high < 0 || low < 0) fail("'\\x' needs two hexadecimal digits");
        index_ += 2;
        return static_cast<char>(high * 16 + low);
      }
      default:
        fail(std::string("unknown escape '\\") + line_[index_] + "' (use \\n \\r \\t \\\" \\\\ or \\xHH)");
    }
  }

  void endWord() {
    if (!inWord_) return;
    current_.words.push_back(std::move(word_));
    commandEnd_ = index_;
    inWord_ = false;
  }

  void endCommand() {
    endWord();
    if (current_.words.empty()) return;
    current_.line = lineNumber_;
    current_.position = ++position_;
    current_.text = std::string(line_.substr(commandStart_, commandEnd_ - commandStart_));
    commands_.push_back(std::move(current_));
    current_ = RawCommand{};
  }

  std::string_view line_;
  int lineNumber_;
  int& position_;
  std::vector<RawCommand>& commands_;
  size_t index_ = 0;
  RawCommand current_;
  Word word_;
  bool inWord_ = false;
  bool quotedYet_ = false;
  size_t commandStart_ = 0;
  size_t commandEnd_ = 0;
};

}  // namespace

std::vector<RawCommand> splitCommands(std::string_view source) {
  std::vector<RawCommand> commands;
  int position = 0;
  int lineNumber = 0;
  while (!source.empty()) {
    size_t end = source.find('\n');
    std::string_view line = source.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    LineLexer(line, ++lineNumber, position, commands).run();
    source = end == std::string_view::npos ? std::string_view() : source.substr(end + 1);
  }
  return commands;
}

}  // namespace nrvsim
