// The scenario language nrvsim reads and the JSON it writes: what a script
// author relies on without ever booting a machine.
#include <gtest/gtest.h>

#include "json_writer.h"
#include "scenario.h"
#include "terminal_text.h"

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

TEST(ScenarioLanguage, LocalesAreWrittenInHexadecimalOrDecimalAndNameALanguage) {
  std::vector<Command> commands = nrvsim::parseScenario("locale 0x0411; locale 1033; locale 0X0C0A");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(actionOf<nrvsim::LocaleCommand>(commands[0]).lcid, 0x0411u);
  EXPECT_EQ(actionOf<nrvsim::LocaleCommand>(commands[1]).lcid, 0x0409u);
  EXPECT_EQ(actionOf<nrvsim::LocaleCommand>(commands[2]).lcid, 0x0C0Au);
  for (const char* bad : {"locale", "locale 0x0000", "locale 0x", "locale 0x1FFFFFFFF", "locale ja"}) {
    EXPECT_NE(errorOf(bad).message.find("locale"), std::string::npos) << bad;
  }
}

TEST(ScenarioLanguage, PortsTakesNoArguments) {
  std::vector<Command> commands = nrvsim::parseScenario("ports\nports # a comment; ports");
  ASSERT_EQ(commands.size(), 2u);
  actionOf<nrvsim::PortsCommand>(commands[0]);
  actionOf<nrvsim::PortsCommand>(commands[1]);
  EXPECT_EQ(errorOf("plug A; ports A").message, "ports lists every port and takes no arguments, not 'A'");
  EXPECT_EQ(errorOf("ports \"\"").message, "ports lists every port and takes no arguments, not ''");
  ScenarioError keyed = errorOf("ports\nports level=1");
  EXPECT_EQ(keyed.line, 2);
  EXPECT_EQ(keyed.message, "unknown option 'level=' for ports");
}

TEST(ScenarioLanguage, AnswersAreWordsForTheButtonsInTheOrderPressed) {
  std::vector<Command> commands =
      nrvsim::parseScenario("answer ok; answer yes no cancel; install; uninstall; leftovers");
  ASSERT_EQ(commands.size(), 5u);
  using nrvsim::BoxAnswer;
  EXPECT_EQ(actionOf<nrvsim::AnswerCommand>(commands[0]).answers, std::vector<BoxAnswer>{BoxAnswer::Ok});
  EXPECT_EQ(actionOf<nrvsim::AnswerCommand>(commands[1]).answers,
            (std::vector<BoxAnswer>{BoxAnswer::Yes, BoxAnswer::No, BoxAnswer::Cancel}));
  actionOf<nrvsim::InstallCommand>(commands[2]);
  actionOf<nrvsim::UninstallCommand>(commands[3]);
  actionOf<nrvsim::LeftoversCommand>(commands[4]);
  EXPECT_EQ(errorOf("answer").message, "answer needs an answer (yes, no, ok or cancel)");
  EXPECT_EQ(errorOf("answer yes maybe").message, "unknown answer 'maybe': use yes, no, ok or cancel");
  EXPECT_EQ(errorOf("answer YES").message, "unknown answer 'YES': use yes, no, ok or cancel");
  EXPECT_EQ(errorOf("install now").message, "unexpected 'now' after install (see nrvsim --help)");
  EXPECT_EQ(errorOf("leftovers all=1").message, "unknown option 'all=' for leftovers");
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
  EXPECT_EQ(plug.speed, nrv::UsbSpeed::Full);
  EXPECT_EQ(commands[0].text, "plug P-1 id=\"MFG:A;MDL:B #2;\" serial=none");
  EXPECT_EQ(commands[1].line, 2);
  EXPECT_EQ(commands[1].position, 2);
  EXPECT_EQ(actionOf<nrvsim::ReplyCommand>(commands[2]).bytes, std::string("a\"b\\c\r\n\0\xFF", 9));
  EXPECT_EQ(commands[3].line, 4);
  EXPECT_EQ(actionOf<nrvsim::ReadCommand>(commands[3]).timeout, 7u);
}

TEST(ScenarioLanguage, APrinterIsPluggedAtFullOrHighSpeed) {
  std::vector<Command> commands = nrvsim::parseScenario("plug A speed=high; plug B speed=full");
  EXPECT_EQ(actionOf<nrvsim::PlugCommand>(commands[0]).speed, nrv::UsbSpeed::High);
  EXPECT_EQ(actionOf<nrvsim::PlugCommand>(commands[1]).speed, nrv::UsbSpeed::Full);
  EXPECT_NE(errorOf("plug A speed=low").message.find("speed= is full or high, not 'low'"), std::string::npos);
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

TEST(ScenarioLanguage, BackgroundJobsStartWaitAndCancelByName) {
  std::vector<Command> commands = nrvsim::parseScenario(
      "start job-1 print A \"my file\" timeout=9\n"
      "start r read A 16\n"
      "wait 250; wait r timeout=40; cancel job-1; wait job-1\n");
  ASSERT_EQ(commands.size(), 6u);
  const auto& print = actionOf<nrvsim::StartCommand>(commands[0]);
  EXPECT_EQ(print.job, "job-1");
  const auto& work = std::get<nrvsim::PrintCommand>(print.work);
  EXPECT_EQ(work.printer, "A");
  EXPECT_EQ(work.file, "my file");
  EXPECT_EQ(work.timeout, 9u);
  EXPECT_EQ(std::get<nrvsim::ReadCommand>(actionOf<nrvsim::StartCommand>(commands[1]).work).count, 16u);
  EXPECT_EQ(actionOf<nrvsim::WaitCommand>(commands[2]).milliseconds, 250u);
  EXPECT_EQ(actionOf<nrvsim::WaitForJobCommand>(commands[3]).timeout, 40u);
  EXPECT_EQ(actionOf<nrvsim::CancelCommand>(commands[4]).job, "job-1");
  EXPECT_FALSE(actionOf<nrvsim::WaitForJobCommand>(commands[5]).timeout.has_value());
}

TEST(ScenarioLanguage, SerialNumbersMayBeEmptyAndDeviceIdsRawOrAsLongAsTheirPrefixAllows) {
  std::string longest(nrvsim::kLongestDeviceId, 'x');
  std::vector<Command> commands =
      nrvsim::parseScenario("plug A serial=\"\" id=" + longest + "\nplug B rawid=\"\\x00\\x05MFG:\"" +
                            "\nplug C serial=" + std::string(126, 'S'));
  const auto& empty = actionOf<nrvsim::PlugCommand>(commands[0]);
  EXPECT_EQ(empty.serial, "");
  EXPECT_FALSE(empty.noSerial);
  EXPECT_EQ(empty.deviceId->size(), nrvsim::kLongestDeviceId);
  EXPECT_EQ(actionOf<nrvsim::PlugCommand>(commands[1]).rawDeviceId, std::string("\0\x05MFG:", 6));
  EXPECT_EQ(actionOf<nrvsim::PlugCommand>(commands[2]).serial->size(), 126u);
}

TEST(ScenarioLanguage, RefusesFaultsThatCouldNotHappenAsWritten) {
  struct Case {
    std::string source;
    std::string message;
  } cases[] = {
      {"plug A fail=out:1:PENDING", "a transfer cannot fail with USBD_STATUS_PENDING"},
      {"plug A fail=in:2:SUCCESS", "a transfer cannot fail with USBD_STATUS_SUCCESS"},
      {"plug A fail=out:1:CANCELED", "a transfer cannot fail with USBD_STATUS_CANCELED"},
      {"plug A fail=out:1:0x40000001", "a transfer cannot fail with 0x40000001"},
      {"plug A stall=out:2 hold=out:2", "bulk OUT transfer 2 is given two faults; a transfer takes one"},
      {"plug A\nfault A delay=in:3:5 fail=in:3:CRC", "bulk IN transfer 3 is given two faults"},
  };
  for (const Case& expected : cases) {
    ScenarioError error = errorOf(expected.source);
    EXPECT_NE(error.message.find(expected.message), std::string::npos) << error.message;
  }
  // The same transfer number in the other direction is another transfer.
  EXPECT_EQ(
      actionOf<nrvsim::PlugCommand>(nrvsim::parseScenario("plug A stall=out:2 hold=in:2")[0]).faults.size(),
      2u);
}

TEST(ScenarioLanguage, RefusesDeviceIdsItCannotSendAndJobsItDoesNotKnow) {
  struct Case {
    std::string source;
    int command;
    std::string message;
  } cases[] = {
      {"plug A id=" + std::string(nrvsim::kLongestDeviceId + 1, 'x'), 1,
       "id= is 65534 bytes long; its length prefix holds 65533 at most"},
      {"plug A rawid=" + std::string(65536, 'x'), 1, "rawid= is 65536 bytes long"},
      {"plug A id=a rawid=b", 1, "give id= or rawid=, not both"},
      {"plug A serial=" + std::string(127, 'S'), 1,
       "serial= is 127 characters long; a string descriptor holds 126"},
      {"plug A; wait j1", 2, "no background job named j1 runs here"},
      {"start j1 read A 1; wait j1 timeout=5; cancel j1; wait j1; wait j1", 5, "no background job named j1"},
      {"cancel j1; start j1 print A", 1, "no background job or printer queue named j1"},
      {"start j1 print A; wait j1 timeout=1; start j1 read A 1", 3, "background job j1 is started already"},
      {"start 1j print A", 1, "'1j' is not a job name"},
      {"start j1 show A", 1, "start j1 needs a print or read command"},
      {"start j1", 1, "start j1 needs a print or read command"},
      {"start j1 read A", 1, "read needs a byte count"},
      {"start j1 print A timeout=0", 1, "timeout= must be a number from 1"},
      {"start j1 print A; wait j1 timeout=x", 2, "timeout= must be a number"},
  };
  for (const Case& expected : cases) {
    ScenarioError error = errorOf(expected.source);
    EXPECT_EQ(error.command, expected.command) << expected.source.substr(0, 60);
    EXPECT_NE(error.message.find(expected.message), std::string::npos) << error.message;
  }
}

TEST(TerminalText, ShowsControlBytesAsEscapesAndKeepsTheRest) {
  EXPECT_EQ(nrvsim::withoutControlBytes(std::string("a\0b\x1B[31m\x7F\tcaf\xC3\xA9", 15)),
            "a\\x00b\\x1B[31m\\x7F\\x09caf\xC3\xA9");
}

// Descriptions in UTF-8 keep their characters; C0, DEL and C1 controls do not reach the terminal.
TEST(TerminalText, QuotesTextWithItsCharactersAndControlsEscaped) {
  EXPECT_EQ(nrvsim::quotedText("USB\xEF\xBE\x8E\xEF\xBE\x9F\xE3\x81\x8C caf\xC3\xA9"),
            "\"USB\xEF\xBE\x8E\xEF\xBE\x9F\xE3\x81\x8C caf\xC3\xA9\"");
  EXPECT_EQ(nrvsim::quotedText(std::string("a\"b\\c\x1B[31m\x7F\0\xC2\x9B\xC2\x85\xC2\xA0", 18)),
            "\"a\\\"b\\\\c\\x1B[31m\\x7F\\x00\\xC2\\x9B\\xC2\\x85\xC2\xA0\"");
  EXPECT_EQ(nrvsim::quotedText("\xC2"), "\"\xC2\"");
  EXPECT_EQ(nrvsim::shownName("NRVUSB001:"), "NRVUSB001:");
  EXPECT_EQ(nrvsim::shownName("Local Port"), "Local Port");
  EXPECT_EQ(nrvsim::shownName("\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88"),
            "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88");
  for (const char* quoted : {"", " LPT1:", "LPT1: ", "a\"b", "a\x1B", "a\xC2\x9B"}) {
    EXPECT_EQ(nrvsim::shownName(quoted), nrvsim::quotedText(quoted)) << quoted;
  }
}

// A device ID is bytes: what is no UTF-8 is written as the character of that number.
TEST(JsonWriter, KeepsUtf8AndEscapesEveryOtherByte) {
  EXPECT_EQ(nrvsim::jsonString("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x96\xA8"),
            "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x96\xA8\"");
  EXPECT_EQ(
      nrvsim::jsonString("\xFF\xFE|\xC3|\xC3(|\xE2\x82|\xC0\xAF|\xED\xA0\x80|\x7F"),
      "\"\\u00ff\\u00fe|\\u00c3|\\u00c3(|\\u00e2\\u0082|\\u00c0\\u00af|\\u00ed\\u00a0\\u0080|\\u007f\"");
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

TEST(ScenarioLanguage, SpoolerCommandsTakeQueuesPortsTimeoutsAndStatusChanges) {
  std::vector<Command> commands = nrvsim::parseScenario(
      "printer \"My Printer\" port=NRVUSB001: retry=0 notselected=90\n"
      "job \"my printer\" doc.prn timeout=5\n"
      "status P1 0x38 after=250; paper P1 out; paper P1 in after=1\n"
      "retry \"My Printer\"; cancel \"MY PRINTER\"; devid \"My Printer\"; deleteport NRVUSB001:");
  ASSERT_EQ(commands.size(), 9u);
  const auto& queue = actionOf<nrvsim::QueueCommand>(commands[0]);
  EXPECT_EQ(queue.queue, "My Printer");
  EXPECT_EQ(queue.port, "NRVUSB001:");
  EXPECT_EQ(queue.retrySeconds, 0u) << "0: no retry limit";
  EXPECT_EQ(queue.notSelectedSeconds, 90u);
  const auto& job = actionOf<nrvsim::JobCommand>(commands[1]);
  EXPECT_EQ(job.file, "doc.prn");
  EXPECT_EQ(job.timeout, 5u);
  const auto& status = actionOf<nrvsim::StatusCommand>(commands[2]);
  EXPECT_EQ(status.status, 0x38);
  EXPECT_EQ(status.after, 250u);
  EXPECT_EQ(actionOf<nrvsim::StatusCommand>(commands[3]).change, nrvsim::StatusCommand::Change::PaperOut);
  EXPECT_FALSE(actionOf<nrvsim::StatusCommand>(commands[3]).after);
  EXPECT_EQ(actionOf<nrvsim::StatusCommand>(commands[4]).change, nrvsim::StatusCommand::Change::PaperIn);
  EXPECT_EQ(actionOf<nrvsim::RetryCommand>(commands[5]).timeout, nrvsim::kDefaultJobTimeoutMilliseconds);
  EXPECT_EQ(actionOf<nrvsim::CancelQueueJobCommand>(commands[6]).queue, "MY PRINTER")
      << "a queue's name, whatever its letter case, when no background job has it";
  actionOf<nrvsim::DeviceIdCommand>(commands[7]);
  EXPECT_EQ(actionOf<nrvsim::DeletePortCommand>(commands[8]).port, "NRVUSB001:");

  // A background job of the same name comes first.
  std::vector<Command> both = nrvsim::parseScenario("printer Q port=X; start Q print A; cancel Q");
  actionOf<nrvsim::CancelCommand>(both[2]);
}

TEST(ScenarioLanguage, RefusesSpoolerCommandsWrittenWrong) {
  struct Case {
    std::string source;
    std::string message;
  } cases[] = {
      {"printer Q", "printer Q needs port=PORT"},
      {"printer Q port=", "printer Q needs port=PORT"},
      {"printer \"\" port=X", "a printer queue's name cannot be empty"},
      {"printer Q port=X retry=4294968", "retry= must be a number from 0 to 4294967"},
      {"printer Q port=X notselected=-1", "notselected= must be a number"},
      {"job", "job needs a printer queue's name"},
      {"job Q a b", "unexpected 'b' after job"},
      {"job Q timeout=0", "timeout= must be a number from 1"},
      {"status P1", "status needs a status byte"},
      {"status P1 0x100", "'0x100' is not a status byte"},
      {"status P1 256", "'256' is not a status byte"},
      {"status P1 0xZZ", "'0xZZ' is not a status byte"},
      {"status P1 0x18 after=0", "after= must be a number from 1"},
      {"paper P1 sideways", "paper takes out or in, not 'sideways'"},
      {"paper P1", "paper needs out or in"},
      {"cancel Q", "no background job or printer queue named Q"},
      {"deleteport", "deleteport needs a port's name"},
  };
  for (const Case& expected : cases) {
    ScenarioError error = errorOf(expected.source);
    EXPECT_NE(error.message.find(expected.message), std::string::npos)
        << expected.source << ": " << error.message;
  }
}

TEST(ScenarioLanguage, FilesAndRegistryNameWhatTheyList) {
  std::vector<Command> commands =
      nrvsim::parseScenario(R"(files; files "C:\\WINNT\\INF"; registry HKLM\Software)");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(actionOf<nrvsim::FilesCommand>(commands[0]).folder, "C:\\") << "the whole drive by default";
  EXPECT_EQ(actionOf<nrvsim::FilesCommand>(commands[1]).folder, "C:\\WINNT\\INF");
  EXPECT_EQ(actionOf<nrvsim::RegistryCommand>(commands[2]).key, "HKLM\\Software");
  EXPECT_NE(errorOf("registry").message.find("registry needs a key"), std::string::npos);
}

TEST(ScenarioLanguage, RebootTakesNoArguments) {
  std::vector<Command> commands = nrvsim::parseScenario("reboot");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<nrvsim::RebootCommand>(commands[0].action));
  EXPECT_EQ(errorOf("reboot now").line, 1);
}

}  // namespace
