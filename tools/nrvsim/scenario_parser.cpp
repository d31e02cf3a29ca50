// The second pass over a scenario: each command's words into a typed command,
// with every value checked before the machine boots.
#include <cctype>
#include <functional>
#include <map>
#include <set>

#include "base/text.h"
#include "scenario.h"
#include "scenario_arguments.h"
#include "scenario_lexer.h"
#include "scenario_spooler_commands.h"
#include "usb/usb_device_model.h"
#include "usbd_status.h"

namespace nrvsim {

namespace {

// A job's name starts with a letter, so that `wait 100` and `wait job1` cannot be confused.
std::string jobName(Arguments& arguments) {
  std::string name = arguments.next("a job name");
  bool valid = !name.empty() && std::isalpha(static_cast<unsigned char>(name.front()));
  for (char character : name) valid = valid && nameCharacter(character);
  if (!valid) {
    arguments.fail("'" + name + "' is not a job name (a letter, then letters, digits, '-' and '_')");
  }
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
    // A bus ends a transfer that fails with an error status; success, pending and
    // cancelled are not failures a device can cause.
    if (!USBD_ERROR(*status)) {
      arguments.fail(key + "=" + text + ": a transfer cannot fail with " + usbdStatusName(*status) +
                     "; use an error status such as STALL_PID or DEV_NOT_RESPONDING");
    }
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
    for (const std::string& text : arguments.takeAll(key)) {
      FaultSpec fault = parseFault(arguments, kind, key, text);
      for (const FaultSpec& earlier : faults) {
        if (earlier.direction == fault.direction && earlier.nth == fault.nth) {
          arguments.fail(describeTransfer(fault) + " is given two faults; a transfer takes one");
        }
      }
      faults.push_back(fault);
    }
  }
  return faults;
}

Action parsePlug(Arguments& arguments) {
  PlugCommand plug;
  plug.printer = printerName(arguments);
  plug.deviceId = arguments.take("id");
  plug.rawDeviceId = arguments.take("rawid");
  if (plug.deviceId && plug.rawDeviceId) arguments.fail("give id= or rawid=, not both");
  if (plug.deviceId && plug.deviceId->size() > kLongestDeviceId) {
    arguments.fail("id= is " + std::to_string(plug.deviceId->size()) +
                   " bytes long; its length prefix holds " + std::to_string(kLongestDeviceId) +
                   " at most (rawid= sends any reply as given)");
  }
  if (plug.rawDeviceId && plug.rawDeviceId->size() > 0xFFFF) {
    arguments.fail("rawid= is " + std::to_string(plug.rawDeviceId->size()) +
                   " bytes long; a control transfer carries 65535 at most");
  }
  std::optional<std::string> serial = arguments.take("serial");
  size_t serialLength = serial ? nrv::toUtf16(*serial).size() : 0;
  if (serialLength > nrv::kMaxStringDescriptorCharacters) {
    arguments.fail("serial= is " + std::to_string(serialLength) +
                   " characters long; a string descriptor holds " +
                   std::to_string(nrv::kMaxStringDescriptorCharacters) + " at most");
  }
  plug.noSerial = serial == "none";
  if (!plug.noSerial) plug.serial = serial;
  if (std::optional<std::string> protocol = arguments.take("protocol")) {
    plug.protocol = *protocol == "none"
                        ? kNoPrinterInterface
                        : static_cast<int>(parseNumber(arguments, *protocol, "protocol=", 1, 3));
  }
  if (std::optional<std::string> speed = arguments.take("speed")) {
    if (*speed != "full" && *speed != "high") arguments.fail("speed= is full or high, not '" + *speed + "'");
    plug.speed = *speed == "high" ? nrv::UsbSpeed::High : nrv::UsbSpeed::Full;
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

// `start JOB print ...` or `start JOB read ...`: the words after the job's name are the command.
Action parseStart(Arguments& arguments, const RawCommand& raw) {
  StartCommand start;
  start.job = jobName(arguments);
  if (raw.words.size() < 3 || raw.words[2].keyed ||
      (raw.words[2].value != "print" && raw.words[2].value != "read")) {
    arguments.fail("start " + start.job + " needs a print or read command after the job's name");
  }
  RawCommand work = raw;
  work.words.erase(work.words.begin(), work.words.begin() + 2);
  Arguments workArguments(work);
  if (work.words.front().value == "print") {
    start.work = std::get<PrintCommand>(parsePrint(workArguments));
  } else {
    start.work = std::get<ReadCommand>(parseRead(workArguments));
  }
  workArguments.finish();
  arguments.skipRest();
  return start;
}

// `wait MS` lets time pass; `wait JOB [timeout=MS]` waits for a background job.
Action parseWait(Arguments& arguments) {
  std::optional<std::string> first = arguments.peek();
  if (first && !first->empty() && std::isdigit(static_cast<unsigned char>(first->front()))) {
    return WaitCommand{parseNumber(arguments, arguments.next("a time in milliseconds"), "the time", 1,
                                   kLongestMilliseconds)};
  }
  WaitForJobCommand wait;
  wait.job = jobName(arguments);
  if (std::optional<std::string> timeout = arguments.take("timeout"))
    wait.timeout = parseNumber(arguments, *timeout, "timeout=", 1, kLongestMilliseconds);
  return wait;
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

// A locale identifier, in hexadecimal with 0x as Windows writes them, or decimal.
Action parseLocale(Arguments& arguments) {
  std::string text = arguments.next("a locale identifier (0x0409, 0x0411, ...)");
  std::optional<uint64_t> value = hexOrDecimal(text, 8);
  // The low 16 bits are the language; a locale without one names nothing.
  if (!value || *value > 0xFFFFFFFF || (*value & 0xFFFF) == 0) {
    arguments.fail("'" + text + "' is not a locale identifier (a number such as 0x0409 or 0x0411)");
  }
  return LocaleCommand{static_cast<uint32_t>(*value)};
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

// The spooler lists every port there is: nothing narrows the listing.
Action parsePorts(Arguments& arguments) {
  if (std::optional<std::string> extra = arguments.nextIfAny())
    arguments.fail("ports lists every port and takes no arguments, not '" + *extra + "'");
  return PortsCommand{};
}

// One or more of yes, no, ok and cancel.
Action parseAnswer(Arguments& arguments) {
  static const std::map<std::string, BoxAnswer> words = {
      {"ok", BoxAnswer::Ok}, {"cancel", BoxAnswer::Cancel}, {"yes", BoxAnswer::Yes}, {"no", BoxAnswer::No}};
  AnswerCommand answer;
  std::optional<std::string> word = arguments.next("an answer (yes, no, ok or cancel)");
  do {
    auto found = words.find(*word);
    if (found == words.end()) arguments.fail("unknown answer '" + *word + "': use yes, no, ok or cancel");
    answer.answers.push_back(found->second);
  } while ((word = arguments.nextIfAny()));
  return answer;
}

using Parser = std::function<Action(Arguments&)>;

const std::map<std::string, Parser>& parsers() {
  static const std::map<std::string, Parser> table = {
      {"plug", parsePlug},
      {"fault", parseFaultCommand},
      {"show", [](Arguments& arguments) -> Action { return ShowCommand{printerName(arguments)}; }},
      {"open", [](Arguments& arguments) -> Action { return OpenCommand{printerName(arguments)}; }},
      {"close", [](Arguments& arguments) -> Action { return CloseCommand{printerName(arguments)}; }},
      {"reset", [](Arguments& arguments) -> Action { return ResetCommand{printerName(arguments)}; }},
      {"print", parsePrint},
      {"reply", parseReply},
      {"read", parseRead},
      {"sleep", parseSleep},
      {"wake", [](Arguments&) -> Action { return WakeCommand{}; }},
      {"wait", parseWait},
      {"unplug", parseUnplug},
      {"locale", parseLocale},
      {"ports", parsePorts},
      {"cancel",
       [](Arguments& arguments) -> Action { return CancelCommand{arguments.next("a job or a queue")}; }},
      {"printer", parseQueue},
      {"job", parseJob},
      {"retry", parseRetry},
      {"status", parseStatus},
      {"paper", parsePaper},
      {"files",
       [](Arguments& arguments) -> Action { return FilesCommand{arguments.nextIfAny().value_or("C:\\")}; }},
      {"registry",
       [](Arguments& arguments) -> Action { return RegistryCommand{arguments.next("a key (HKLM\\...)")}; }},
      {"devid", parseDeviceId},
      {"deleteport", parseDeletePort},
      {"reboot", [](Arguments&) -> Action { return RebootCommand{}; }},
      {"install", [](Arguments&) -> Action { return InstallCommand{}; }},
      {"answer", parseAnswer},
      {"uninstall", [](Arguments&) -> Action { return UninstallCommand{}; }},
      {"leftovers", [](Arguments&) -> Action { return LeftoversCommand{}; }},
  };
  return table;
}

Command parseCommand(const RawCommand& raw) {
  Arguments arguments(raw);
  const Word& verb = raw.words.front();
  if (!verb.keyed && verb.value == "start") {
    Command command{raw.line, raw.position, raw.text, parseStart(arguments, raw)};
    return command;
  }
  auto parser = parsers().find(verb.value);
  if (verb.keyed || parser == parsers().end()) {
    arguments.fail("unknown command '" + raw.text.substr(0, raw.text.find(' ')) + "' (see nrvsim --help)");
  }
  Command command{raw.line, raw.position, raw.text, parser->second(arguments)};
  arguments.finish();
  return command;
}

// Queue names compare as the spooler compares them, ignoring the case of letters.
std::string queueKey(const std::string& name) {
  std::string key = name;
  for (char& character : key)
    character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
  return key;
}

// `cancel NAME` cancels the background job of that name, or else the job of the
// queue of that name that an earlier printer command made.
void resolveCancel(Command& command, const std::set<std::string>& running,
                   const std::set<std::string>& queues) {
  auto* cancel = std::get_if<CancelCommand>(&command.action);
  if (cancel == nullptr || running.count(cancel->job) != 0) return;
  if (queues.count(queueKey(cancel->job)) != 0) {
    command.action = CancelQueueJobCommand{cancel->job};
    return;
  }
  throw ScenarioError{command.line, command.position,
                      "no background job or printer queue named " + cancel->job +
                          " is here: none is started or made before this command, or the job was waited for"};
}

// The job a wait names must have been started by an earlier command, and
// not waited for since without a time limit. Keeps `running` up to date.
void checkJobNamed(const Command& command, std::set<std::string>& running) {
  const std::string* job = nullptr;
  if (const auto* start = std::get_if<StartCommand>(&command.action)) {
    if (!running.insert(start->job).second) {
      throw ScenarioError{command.line, command.position,
                          "background job " + start->job + " is started already; wait for it first"};
    }
  }
  if (const auto* wait = std::get_if<WaitForJobCommand>(&command.action)) job = &wait->job;
  if (job == nullptr) return;
  if (running.count(*job) == 0) {
    throw ScenarioError{command.line, command.position,
                        "no background job named " + *job +
                            " runs here: none is started before this command, or it was waited for"};
  }
  const auto* wait = std::get_if<WaitForJobCommand>(&command.action);
  if (wait != nullptr && !wait->timeout) running.erase(*job);
}

}  // namespace

std::string describeTransfer(const FaultSpec& fault) {
  return "bulk " + std::string(fault.direction == Direction::In ? "IN" : "OUT") + " transfer " +
         std::to_string(fault.nth);
}

std::vector<Command> parseScenario(std::string_view source) {
  std::vector<Command> commands;
  std::set<std::string> running;
  std::set<std::string> queues;
  for (const RawCommand& raw : splitCommands(source)) {
    commands.push_back(parseCommand(raw));
    resolveCancel(commands.back(), running, queues);
    checkJobNamed(commands.back(), running);
    if (const auto* queue = std::get_if<QueueCommand>(&commands.back().action))
      queues.insert(queueKey(queue->queue));
  }
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
