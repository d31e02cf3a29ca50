// scenario: nrvsim's scenario language on any text. Parsing either gives the
// commands or stops at the first bad one with a ScenarioError that names a
// line of the text; any other exception, a crash or a position outside the
// text is a finding.
#include "scenario.h"

#include <algorithm>
#include <string_view>

#include "fuzz_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  int lines = static_cast<int>(std::count(source.begin(), source.end(), '\n')) + 1;
  try {
    std::vector<nrvsim::Command> commands = nrvsim::parseScenario(source);
    for (const nrvsim::Command& command : commands) {
      if (command.line < 1 || command.line > lines)
        fuzzFinding("a command on line " + std::to_string(command.line));
    }
  } catch (const nrvsim::ScenarioError& error) {
    if (error.line < 0 || error.line > lines) fuzzFinding("an error on line " + std::to_string(error.line));
  }
  return 0;
}
