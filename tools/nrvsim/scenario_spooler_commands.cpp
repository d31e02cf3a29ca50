// The spooler's commands: printer queues, jobs, their retries, the printer's
// status byte, the device ID through the spooler and port deletion.
#include "scenario_spooler_commands.h"

namespace nrvsim {

namespace {

std::string queueName(Arguments& arguments) {
  std::string name = arguments.next("a printer queue's name");
  if (name.empty()) arguments.fail("a printer queue's name cannot be empty");
  return name;
}

// The printer's timeouts are kept in milliseconds in a 32-bit value.
std::optional<uint64_t> secondsOption(Arguments& arguments, const std::string& key) {
  std::optional<std::string> text = arguments.take(key);
  if (!text) return std::nullopt;
  return parseNumber(arguments, *text, (key + "=").c_str(), 0, 0xFFFFFFFFu / 1000);
}

uint64_t jobTimeoutOption(Arguments& arguments) {
  std::optional<std::string> timeout = arguments.take("timeout");
  return timeout ? parseNumber(arguments, *timeout, "timeout=", 1, kLongestMilliseconds)
                 : kDefaultJobTimeoutMilliseconds;
}

std::optional<uint64_t> afterOption(Arguments& arguments) {
  std::optional<std::string> after = arguments.take("after");
  if (!after) return std::nullopt;
  return parseNumber(arguments, *after, "after=", 1, kLongestMilliseconds);
}

}  // namespace

Action parseQueue(Arguments& arguments) {
  QueueCommand queue;
  queue.queue = queueName(arguments);
  std::optional<std::string> port = arguments.take("port");
  if (!port || port->empty()) arguments.fail("printer " + queue.queue + " needs port=PORT");
  queue.port = *port;
  queue.retrySeconds = secondsOption(arguments, "retry");
  queue.notSelectedSeconds = secondsOption(arguments, "notselected");
  return queue;
}

Action parseJob(Arguments& arguments) {
  JobCommand job;
  job.queue = queueName(arguments);
  job.file = arguments.nextIfAny().value_or("");
  job.timeout = jobTimeoutOption(arguments);
  return job;
}

Action parseRetry(Arguments& arguments) {
  RetryCommand retry;
  retry.queue = queueName(arguments);
  retry.timeout = jobTimeoutOption(arguments);
  return retry;
}

// A status byte in hexadecimal with 0x, as the printer class writes them, or decimal.
Action parseStatus(Arguments& arguments) {
  StatusCommand status;
  status.printer = printerName(arguments);
  std::string text = arguments.next("a status byte (0x18: selected, no error)");
  std::optional<uint64_t> value = hexOrDecimal(text, 3);
  if (!value || *value > 0xFF) arguments.fail("'" + text + "' is not a status byte (0x00 to 0xFF)");
  status.status = static_cast<UCHAR>(*value);
  status.after = afterOption(arguments);
  return status;
}

Action parsePaper(Arguments& arguments) {
  StatusCommand paper;
  paper.printer = printerName(arguments);
  std::string how = arguments.next("out or in");
  if (how != "out" && how != "in") arguments.fail("paper takes out or in, not '" + how + "'");
  paper.change = how == "out" ? StatusCommand::Change::PaperOut : StatusCommand::Change::PaperIn;
  paper.after = afterOption(arguments);
  return paper;
}

Action parseDeviceId(Arguments& arguments) { return DeviceIdCommand{queueName(arguments)}; }

Action parseDeletePort(Arguments& arguments) { return DeletePortCommand{arguments.next("a port's name")}; }

}  // namespace nrvsim
