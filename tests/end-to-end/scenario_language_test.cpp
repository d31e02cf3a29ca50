// The scenario language nrvsim reads and the JSON it writes: what a script
// author relies on without ever booting a machine.
#include <gtest/gtest.h>

#include "json_writer.h"
#include "scenario.h"

namespace {

using nrvsim::Command;
using nrvsim::FaultSpec;
using nrvsim::ScenarioError;

template <typename Action>
const Action& actionOf(const Command& command) {
  const Action* action = std::get_if<Action>(&command.action);
  EXPECT_NE(action, nullptr) << command.text;
  return *action;
}

ScenarioError errorOf(const std::string& source) {
  try {
    nrvsim::parseScenario(source);
  } catch (const ScenarioError& error) {
    return error;
  }
  ADD_FAILURE() << "parsed without an error: " << source;
  return {};
}

TEST(ScenarioLanguage, QuotesKeepSeparatorsAndCommentsAndEscapesMakeAnyByte) {
  std::vector<Command> commands = nrvsim::parseScenario(
      "# a comment line\r\n"
      "plug P-1 id=\"MFG:A;MDL:B #2;\" serial=none ; show P-1 # trailing\r\n"
      "\n"
      "reply P-1 \"a\\\"b\\\\c\\r\\n\\x00\\xFF\";read P-1 3 timeout=7\n");
  ASSERT_EQ(commands.size(), 4u);
  const auto& plug = actionOf<nrvsim::PlugCommand>(commands[0]);
  EXPECT_EQ(plug.printer, "P-1");
  EXPECT_EQ(plug.deviceId, "MFG:A;MDL:B #2;");
  EXPECT_TRUE(plug.noSerial);
  EXPECT_EQ(plug.protocol, 2);
  EXPECT_EQ(commands[0].text, "plug P-1 id=\"MFG:A;MDL:B #2;\" serial=none");
  EXPECT_EQ(commands[1].line, 2);
  EXPECT_EQ(commands[1].position, 2);
  EXPECT_EQ(actionOf<nrvsim::ReplyCommand>(commands[2]).bytes, std::string("a\"b\\c\r\n\0\xFF", 9));
  EXPECT_EQ(commands[3].line, 4);
  EXPECT_EQ(actionOf<nrvsim::ReadCommand>(commands[3]).timeout, 7u);
}

TEST(ScenarioLanguage, FaultsNameTheirDirectionTransferAndDetail) {
  std::vector<Command> commands = nrvsim::parseScenario(
      "plug A protocol=none stall=out:2 fail=in:1:STALL_PID fail=out:3:0xC0007000 delay=in:4:250 hold=out:5\n"
      "fault A hold=in:1\n"
      "print A; print A \"my file\" timeout=9\n");
  const auto& plug = actionOf<nrvsim::PlugCommand>(commands[0]);
  EXPECT_EQ(plug.protocol, nrvsim::kNoPrinterInterface);
  ASSERT_EQ(plug.faults.size(), 5u);
  EXPECT_EQ(plug.faults[0].kind, FaultSpec::Kind::Stall);
  EXPECT_EQ(plug.faults[0].nth, 2u);
  EXPECT_EQ(plug.faults[1].direction, nrvsim::Direction::In);
  EXPECT_EQ(plug.faults[1].status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(plug.faults[2].status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(plug.faults[3].milliseconds, 250u);
  EXPECT_EQ(plug.faults[4].kind, FaultSpec::Kind::Hold);
  EXPECT_EQ(actionOf<nrvsim::FaultCommand>(commands[1]).faults.front().direction, nrvsim::Direction::In);
  EXPECT_EQ(actionOf<nrvsim::PrintCommand>(commands[2]).file, "");
  EXPECT_EQ(actionOf<nrvsim::PrintCommand>(commands[2]).timeout, nrvsim::kDefaultTimeoutMilliseconds);
  EXPECT_EQ(actionOf<nrvsim::PrintCommand>(commands[3]).file, "my file");
}

TEST(ScenarioLanguage, ErrorsNameTheLineTheCommandAndTheMistake) {
  struct Case {
    std::string source;
    int line;
    int command;
    std::string message;
  } cases[] = {
      {"plug A\nshow A; jump A\n", 2, 3, "unknown command 'jump'"},
      {"plug A protocol=4", 1, 1, "protocol= must be a number from 1 to 3, not '4'"},
      {"plug A\n\nreply A \"open", 3, 2, "unterminated string"},
      {"reply A \"\\x4\"", 1, 1, "'\\x' needs two hexadecimal digits"},
      {"plug A id=a id=b", 1, 1, "id= is given more than once"},
      {"plug A stall=out", 1, 1, "stall=out should read stall=DIR:N"},
      {"plug A fail=out:1:NOPE", 1, 1, "'NOPE' is not a USBD status"},
      {"read A", 1, 1, "read needs a byte count"},
      {"read A 0", 1, 1, "the byte count must be a number from 1"},
      {"sleep S0", 1, 1, "unknown sleep state 'S0'"},
      {"unplug A gently", 1, 1, "not 'gently'"},
      {"show A B", 1, 1, "unexpected 'B' after show"},
      {"show \"A;B\"", 1, 1, "'A;B' is not a printer name"},
      {"# nothing but a comment\n", 0, 0, "the scenario has no commands"},
  };
  for (const Case& expected : cases) {
    ScenarioError error = errorOf(expected.source);
    EXPECT_EQ(error.line, expected.line) << expected.source;
    EXPECT_EQ(error.command, expected.command) << expected.source;
    EXPECT_NE(error.message.find(expected.message), std::string::npos) << error.message;
  }
}

TEST(JsonWriter, EscapesStringsAndSeparatesMembersAtEveryDepth) {
  nrvsim::JsonWriter json;
  json.beginObject();
  json.field("text", "quote \" backslash \\ newline \n bell \x07 caf\xC3\xA9");
  json.key("list").beginArray();
  json.value(1);
  json.beginObject();
  json.field("empty", "");
  json.field("flag", false);
  json.endObject();
  json.beginArray();
  json.endArray();
  json.endArray();
  json.field("big", uint64_t{18446744073709551615u});
  json.endObject();
  EXPECT_EQ(json.text(),
            "{\"text\":\"quote \\\" backslash \\\\ newline \\n bell \\u0007 caf\xC3\xA9\","
            "\"list\":[1,{\"empty\":\"\",\"flag\":false},[]],\"big\":18446744073709551615}");
}

}  // namespace
