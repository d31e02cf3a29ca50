// The second pass over a scenario: each command's words into a typed command,
// with every value checked before the machine boots.
#include <cctype>
#include <functional>
#include <map>

#include "scenario.h"
#include "scenario_lexer.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

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

  const std::string& verb() const { return raw_.words[0].value; }

 private:
  const RawCommand& raw_;
  std::vector<bool> used_;
};

uint64_t parseNumber(const Arguments& arguments, const std::string& text, const char* what, uint64_t minimum,
                     uint64_t maximum) {
  bool digits = !text.empty() && text.size() <= 12;
  for (char character : text) digits = digits && std::isdigit(static_cast<unsigned char>(character));
  uint64_t value = digits ? std::stoull(text) : 0;
  if (!digits || value < minimum || value > maximum) {
    arguments.fail(std::string(what) + " must be a number from " + std::to_string(minimum) + " to " +
                   std::to_string(maximum) + ", not '" + text + "'");
  }
  return value;
}

std::string printerName(Arguments& arguments) {
  std::string name = arguments.next("a printer name");
  bool valid = !name.empty();
  for (char character : name) {
    valid = valid &&
            (std::isalnum(static_cast<unsigned char>(character)) || character == '-' || character == '_');
  }
  if (!valid) arguments.fail("'" + name + "' is not a printer name (letters, digits, '-' and '_')");
  return name;
}

uint64_t timeoutOption(Arguments& arguments) {
  std::optional<std::string> timeout = arguments.take("timeout");
  return timeout ? parseNumber(arguments, *timeout, "timeout=", 1, kLongestMilliseconds)
                 : kDefaultTimeoutMilliseconds;
}

// DIRECTION:N[:EXTRA], as in stall=out:2 or fail=in:1:STALL_PID.
std::vector<std::string> faultFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char character : text) {
    if (character == ':') {
      fields.emplace_back();
    } else {
      fields.back() += character;
    }
  }
  return fields;
}

FaultSpec parseFault(const Arguments& arguments, FaultSpec::Kind kind, const std::string& key,
                     const std::string& text) {
  bool needsExtra = kind == FaultSpec::Kind::Fail || kind == FaultSpec::Kind::Delay;
  std::vector<std::string> fields = faultFields(text);
  if (fields.size() != (needsExtra ? 3u : 2u) || (fields[0] != "out" && fields[0] != "in")) {
    const char* extra = kind == FaultSpec::Kind::Fail    ? ":STATUS"
                        : kind == FaultSpec::Kind::Delay ? ":MS"
                                                         : "";
    arguments.fail(key + "=" + text + " should read " + key + "=DIR:N" + extra + ", where DIR is out or in");
  }
  FaultSpec fault;
  fault.kind = kind;
  fault.direction = fields[0] == "in" ? Direction::In : Direction::Out;
  fault.nth = static_cast<unsigned>(parseNumber(arguments, fields[1], "the transfer number", 1, 1000000));
  if (kind == FaultSpec::Kind::Fail) {
    std::optional<USBD_STATUS> status = parseUsbdStatus(fields[2]);
    if (!status)
      arguments.fail("'" + fields[2] + "' is not a USBD status (a name such as STALL_PID, or a number)");
    fault.status = *status;
  } else if (kind == FaultSpec::Kind::Delay) {
    fault.milliseconds = parseNumber(arguments, fields[2], "the delay", 1, kLongestMilliseconds);
  }
  return fault;
}

std::vector<FaultSpec> faultOptions(Arguments& arguments) {
  static const std::pair<const char*, FaultSpec::Kind> kinds[] = {{"stall", FaultSpec::Kind::Stall},
                                                                  {"fail", FaultSpec::Kind::Fail},
                                                                  {"delay", FaultSpec::Kind::Delay},
                                                                  {"hold", FaultSpec::Kind::Hold}};
  std::vector<FaultSpec> faults;
  for (const auto& [key, kind] : kinds) {
    for (const std::string& text : arguments.takeAll(key))
      faults.push_back(parseFault(arguments, kind, key, text));
  }
  return faults;
}

Action parsePlug(Arguments& arguments) {
  PlugCommand plug;
  plug.printer = printerName(arguments);
  plug.deviceId = arguments.take("id");
  std::optional<std::string> serial = arguments.take("serial");
  if (serial && serial->empty()) arguments.fail("serial= needs a serial number, or 'none'");
  plug.noSerial = serial == "none";
  if (!plug.noSerial) plug.serial = serial;
  if (std::optional<std::string> protocol = arguments.take("protocol")) {
    plug.protocol = *protocol == "none"
                        ? kNoPrinterInterface
                        : static_cast<int>(parseNumber(arguments, *protocol, "protocol=", 1, 3));
  }
  plug.faults = faultOptions(arguments);
  return plug;
}

Action parseFaultCommand(Arguments& arguments) {
  FaultCommand command{printerName(arguments), faultOptions(arguments)};
  if (command.faults.empty()) arguments.fail("fault needs at least one of stall=, fail=, delay= or hold=");
  return command;
}

Action parsePrint(Arguments& arguments) {
  PrintCommand print;
  print.printer = printerName(arguments);
  print.file = arguments.nextIfAny().value_or("");
  print.timeout = timeoutOption(arguments);
  return print;
}

Action parseReply(Arguments& arguments) {
  ReplyCommand reply;
  reply.printer = printerName(arguments);
  reply.bytes = arguments.next("the reply's bytes, as a string");
  if (reply.bytes.empty()) arguments.fail("reply needs at least one byte");
  return reply;
}

Action parseRead(Arguments& arguments) {
  ReadCommand read;
  read.printer = printerName(arguments);
  read.count = static_cast<ULONG>(
      parseNumber(arguments, arguments.next("a byte count"), "the byte count", 1, 1 << 24));
  read.timeout = timeoutOption(arguments);
  return read;
}

Action parseSleep(Arguments& arguments) {
  static const std::map<std::string, SYSTEM_POWER_STATE> states = {{"S1", PowerSystemSleeping1},
                                                                   {"S2", PowerSystemSleeping2},
                                                                   {"S3", PowerSystemSleeping3},
                                                                   {"S4", PowerSystemHibernate}};
  std::string state = arguments.next("a sleep state (S1, S2, S3 or S4)");
  auto found = states.find(state);
  if (found == states.end()) arguments.fail("unknown sleep state '" + state + "': use S1, S2, S3 or S4");
  return SleepCommand{found->second};
}

Action parseUnplug(Arguments& arguments) {
  UnplugCommand unplug;
  unplug.printer = printerName(arguments);
  if (std::optional<std::string> how = arguments.nextIfAny()) {
    if (*how != "safely")
      arguments.fail("unplug takes only 'safely' after the printer's name, not '" + *how + "'");
    unplug.safely = true;
  }
  return unplug;
}

using Parser = std::function<Action(Arguments&)>;

const std::map<std::string, Parser>& parsers() {
  static const std::map<std::string, Parser> table = {
      {"plug", parsePlug},
      {"fault", parseFaultCommand},
      {"show", [](Arguments& arguments) -> Action { return ShowCommand{printerName(arguments)}; }},
      {"open", [](Arguments& arguments) -> Action { return OpenCommand{printerName(arguments)}; }},
      {"close", [](Arguments& arguments) -> Action { return CloseCommand{printerName(arguments)}; }},
      {"print", parsePrint},
      {"reply", parseReply},
      {"read", parseRead},
      {"sleep", parseSleep},
      {"wake", [](Arguments&) -> Action { return WakeCommand{}; }},
      {"wait",
       [](Arguments& arguments) -> Action {
         return WaitCommand{parseNumber(arguments, arguments.next("a time in milliseconds"), "the time", 1,
                                        kLongestMilliseconds)};
       }},
      {"unplug", parseUnplug},
  };
  return table;
}

Command parseCommand(const RawCommand& raw) {
  Arguments arguments(raw);
  const Word& verb = raw.words.front();
  auto parser = parsers().find(verb.value);
  if (verb.keyed || parser == parsers().end()) {
    arguments.fail("unknown command '" + raw.text.substr(0, raw.text.find(' ')) + "' (see nrvsim --help)");
  }
  Command command{raw.line, raw.position, raw.text, parser->second(arguments)};
  arguments.finish();
  return command;
}

}  // namespace

std::vector<Command> parseScenario(std::string_view source) {
  std::vector<Command> commands;
  for (const RawCommand& raw : splitCommands(source)) commands.push_back(parseCommand(raw));
  if (commands.empty()) throw ScenarioError{0, 0, "the scenario has no commands"};
  return commands;
}

const char* sleepStateName(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemWorking:
      return "S0";
    case PowerSystemSleeping1:
      return "S1";
    case PowerSystemSleeping2:
      return "S2";
    case PowerSystemSleeping3:
      return "S3";
    case PowerSystemHibernate:
      return "S4";
    default:
      return "S?";
  }
}

}  // namespace nrvsim
