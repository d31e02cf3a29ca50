// The first pass over a scenario: lines into commands, commands into words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace nrvsim {

// A bare or quoted word, or a key=value option (whose value may be quoted).
struct Word {
  bool keyed = false;
  std::string key;
  std::string value;  // escapes already resolved
};

struct RawCommand {
  int line = 0;
  int position = 0;
  std::string text;
  std::vector<Word> words;
};

// Throws ScenarioError on an unterminated string or a bad escape.
std::vector<RawCommand> splitCommands(std::string_view source);

}  // namespace nrvsim
