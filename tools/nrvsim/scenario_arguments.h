// The words of one scenario command, and the checks every command's values
// share: numbers in range, printer names, hexadecimal or decimal values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"
#include "scenario_lexer.h"

namespace nrvsim {

// Timeouts, delays and waits are capped at a day of virtual time.
constexpr uint64_t kLongestMilliseconds = 86400000;

// The words after a command's verb: positional words in order, and key=value options.
class Arguments {
 public:
  explicit Arguments(const RawCommand& raw) : raw_(raw), used_(raw.words.size(), false) { used_[0] = true; }

  [[noreturn]] void fail(const std::string& message) const {
    throw ScenarioError{raw_.line, raw_.position, message};
  }

  std::optional<std::string> nextIfAny() {
    for (size_t index = 1; index < raw_.words.size(); index++) {
      if (used_[index] || raw_.words[index].keyed) continue;
      used_[index] = true;
      return raw_.words[index].value;
    }
    return std::nullopt;
  }

  std::string next(const char* what) {
    std::optional<std::string> word = nextIfAny();
    if (!word) fail(std::string(verb()) + " needs " + what);
    return *word;
  }

  std::vector<std::string> takeAll(const std::string& key) {
    std::vector<std::string> values;
    for (size_t index = 1; index < raw_.words.size(); index++) {
      if (used_[index] || !raw_.words[index].keyed || raw_.words[index].key != key) continue;
      used_[index] = true;
      values.push_back(raw_.words[index].value);
    }
    return values;
  }

  std::optional<std::string> take(const std::string& key) {
    std::vector<std::string> values = takeAll(key);
    if (values.size() > 1) fail("option " + key + "= is given more than once");
    return values.empty() ? std::nullopt : std::optional<std::string>(values.front());
  }

  // Every word must have been understood.
  void finish() const {
    for (size_t index = 1; index < raw_.words.size(); index++) {
      if (used_[index]) continue;
      const Word& word = raw_.words[index];
      if (word.keyed) fail("unknown option '" + word.key + "=' for " + verb());
      fail("unexpected '" + word.value + "' after " + verb() + " (see nrvsim --help)");
    }
  }

  // The next positional word, left for next() to take.
  std::optional<std::string> peek() const {
    for (size_t index = 1; index < raw_.words.size(); index++) {
      if (!used_[index] && !raw_.words[index].keyed) return raw_.words[index].value;
    }
    return std::nullopt;
  }

  // The rest of the words were understood elsewhere.
  void skipRest() { used_.assign(used_.size(), true); }

  const std::string& verb() const { return raw_.words[0].value; }

 private:
  const RawCommand& raw_;
  std::vector<bool> used_;
};

uint64_t parseNumber(const Arguments& arguments, const std::string& text, const char* what, uint64_t minimum,
                     uint64_t maximum);
bool nameCharacter(char character);
// A printer's name: letters, digits, '-' and '_'.
std::string printerName(Arguments& arguments);
// A value in hexadecimal with 0x, or decimal, of at most maxDigits digits; none for anything else.
std::optional<uint64_t> hexOrDecimal(const std::string& text, size_t maxDigits);

}  // namespace nrvsim
