#include "spooler_report.h"

#include "base/text.h"
#include "terminal_text.h"
#include "win32_error.h"

namespace nrvsim {

namespace {

std::string resultText(const SpoolerResult& result) {
  return result.succeeded ? "succeeded" : "failed with error " + win32ErrorText(result.error);
}

const char* callName(JobLine::Kind kind) {
  switch (kind) {
    case JobLine::Kind::OpenPort:
      return "OpenPort";
    case JobLine::Kind::StartDocPort:
      return "StartDocPort";
    case JobLine::Kind::WritePort:
      return "WritePort";
    case JobLine::Kind::EndDocPort:
      return "EndDocPort";
    case JobLine::Kind::StatusPoll:
      break;
  }
  return "port status";
}

std::string lineText(const JobLine& line) {
  std::string stamp = nrv::format("[%6llu ms] ", static_cast<unsigned long long>(line.milliseconds));
  switch (line.kind) {
    case JobLine::Kind::StatusPoll:
      return stamp + "port status " + portStatusText(line.status);
    case JobLine::Kind::WritePort:
      return stamp + nrv::format("WritePort %u bytes: ", line.asked) +
             (line.result.succeeded ? nrv::format("took %u", line.taken) : resultText(line.result));
    default:
      return stamp + callName(line.kind) + " " + resultText(line.result);
  }
}

const char* howText(SpoolerJobRun::How how) {
  switch (how) {
    case SpoolerJobRun::How::Submitted:
      return "sent to";
    case SpoolerJobRun::How::Retried:
      return "retried on";
    case SpoolerJobRun::How::Cancelled:
      return "cancelled on";
  }
  return "";
}

std::string outcomeText(const SpoolerJobRun& run) {
  std::string waited = nrv::format("after %llu ms", static_cast<unsigned long long>(run.milliseconds));
  std::string taken =
      nrv::format("the port took %llu bytes", static_cast<unsigned long long>(run.bytesTaken));
  if (run.behind) {
    return nrv::format("job %u waits behind job %u, which is in error: retry or cancel that one first",
                       run.id, *run.behind);
  }
  if (run.state == "error") {
    return nrv::format("job %u is in error %s: last error %s; %s", run.id, waited.c_str(),
                       win32ErrorText(run.lastError).c_str(), taken.c_str());
  }
  if (run.state == "cancelled" && run.stateBefore == "error") {
    return nrv::format("job %u, in error with %s, is cancelled %s; %s", run.id,
                       win32ErrorText(run.lastError).c_str(), waited.c_str(), taken.c_str());
  }
  if (run.state == "done" || run.state == "cancelled") {
    return nrv::format("job %u is %s %s; %s", run.id, run.state.c_str(), waited.c_str(), taken.c_str());
  }
  return nrv::format("job %u is still %s %s (the time limit); %s; it goes on", run.id, run.state.c_str(),
                     waited.c_str(), taken.c_str());
}

std::string receivedText(const SpoolerJobRun& run) {
  auto received = static_cast<unsigned long long>(*run.received);
  if (!run.intact)
    return nrv::format("the printer received %llu bytes, not the document's in order", received);
  if (*run.received == run.size)
    return nrv::format("the printer received %llu bytes, identical to the document", received);
  return nrv::format("the printer received %llu bytes, the document's first, in order", received);
}

void writeResult(JsonWriter& json, const SpoolerResult& result) {
  json.field("succeeded", result.succeeded);
  if (result.succeeded) return;
  json.field("error", result.error);
  json.field("error_name", win32ErrorName(result.error));
}

}  // namespace

std::string portStatusText(uint8_t status) {
  std::vector<std::string> bits;
  if ((status & 0x20) != 0) bits.push_back("paper empty");
  bits.push_back((status & 0x10) != 0 ? "selected" : "not selected");
  bits.push_back((status & 0x08) != 0 ? "no error" : "error");
  std::string text;
  for (const std::string& bit : bits) text += (text.empty() ? "" : ", ") + bit;
  return nrv::format("0x%02X (%s)", status, text.c_str());
}

std::vector<std::string> factLines(const InstalledQueue& installed) {
  return {"the system installed printer " + quotedText(installed.queue) + " on port " +
          shownName(installed.port)};
}

std::vector<std::string> factLines(const QueueAdded& added) {
  if (!added.result.succeeded) {
    return {"adding printer " + quotedText(added.queue) + " on port " + shownName(added.port) + " " +
            resultText(added.result)};
  }
  return {
      nrv::format("added printer %s on port %s, not selected timeout %llu ms, transmission retry timeout "
                  "%llu ms",
                  quotedText(added.queue).c_str(), shownName(added.port).c_str(),
                  static_cast<unsigned long long>(added.notSelectedMilliseconds),
                  static_cast<unsigned long long>(added.retryMilliseconds))};
}

std::vector<std::string> factLines(const SpoolerJobRun& run) {
  std::vector<std::string> lines;
  lines.push_back(nrv::format("job %u, %s (%llu bytes), %s %s on port %s", run.id,
                              shownName(run.document).c_str(), static_cast<unsigned long long>(run.size),
                              howText(run.how), quotedText(run.queue).c_str(), shownName(run.port).c_str()));
  for (const JobLine& line : run.lines) lines.push_back("  " + lineText(line));
  lines.push_back(outcomeText(run));
  if (run.behind) return lines;
  if (run.follows) {
    lines.push_back(
        nrv::format("job %u was still printing when it was sent: the printer got that one's rest first, "
                    "so what it received is not checked",
                    *run.follows));
  } else if (run.received) {
    lines.push_back(receivedText(run));
  } else if (run.how != SpoolerJobRun::How::Cancelled) {
    lines.push_back("no printer plugged in has the port");
  }
  return lines;
}

std::vector<std::string> factLines(const PortStatusSet& set) {
  if (!set.after) {
    return {nrv::format("%s's port status is %s: it %s", set.printer.c_str(),
                        portStatusText(*set.status).c_str(), set.prints ? "prints" : "does not print")};
  }
  auto after = static_cast<unsigned long long>(*set.after);
  if (set.change == "status")
    return {nrv::format("%s's port status becomes %s in %llu ms", set.printer.c_str(),
                        portStatusText(*set.status).c_str(), after)};
  return {nrv::format("%s's %s in %llu ms", set.printer.c_str(),
                      set.change == "paper out" ? "paper runs out" : "paper comes back", after)};
}

std::vector<std::string> factLines(const DeviceIdAsked& asked) {
  if (!asked.result.succeeded) return {"GetPrinterDataFromPort 17 " + resultText(asked.result)};
  return {nrv::format("GetPrinterDataFromPort 17 returned %u bytes: %s", asked.returned,
                      quotedBytes(asked.deviceId).c_str())};
}

std::vector<std::string> factLines(const PortDeleted& deleted) {
  return {"DeletePort " + shownName(deleted.port) + " " + resultText(deleted.result)};
}

void writeFacts(JsonWriter& json, const std::vector<InstalledQueue>& installed) {
  json.key("queues_installed");
  json.beginArray();
  for (const InstalledQueue& queue : installed) {
    json.beginObject();
    json.field("queue", queue.queue);
    json.field("port", queue.port);
    json.endObject();
  }
  json.endArray();
}

void writeFacts(JsonWriter& json, const QueueAdded& added) {
  json.field("kind", "printer");
  json.field("queue", added.queue);
  json.field("port", added.port);
  json.field("not_selected_ms", added.notSelectedMilliseconds);
  json.field("retry_ms", added.retryMilliseconds);
  writeResult(json, added.result);
}

void writeFacts(JsonWriter& json, const SpoolerJobRun& run) {
  json.field("kind", run.how == SpoolerJobRun::How::Submitted ? "job"
                     : run.how == SpoolerJobRun::How::Retried ? "retry"
                                                              : "cancel_job");
  json.field("queue", run.queue);
  json.field("port", run.port);
  json.field("id", run.id);
  json.field("document", run.document);
  json.field("size", run.size);
  if (!run.stateBefore.empty()) json.field("state_before", run.stateBefore);
  if (run.behind) json.field("behind", *run.behind);
  if (run.follows) json.field("follows", *run.follows);
  json.key("calls").beginArray();
  for (const JobLine& line : run.lines) {
    json.beginObject();
    json.field("ms", line.milliseconds);
    if (line.kind == JobLine::Kind::StatusPoll) {
      json.field("call", "port_status");
      json.field("status", line.status);
    } else {
      json.field("call", callName(line.kind));
      writeResult(json, line.result);
    }
    if (line.kind == JobLine::Kind::WritePort) {
      json.field("asked", line.asked);
      json.field("taken", line.taken);
    }
    json.endObject();
  }
  json.endArray();
  json.field("state", run.state);
  json.field("last_error", run.lastError);
  json.field("last_error_name", win32ErrorName(run.lastError));
  json.field("waited_ms", run.milliseconds);
  json.field("bytes_taken", run.bytesTaken);
  if (!run.received) return;
  json.field("received", *run.received);
  json.field("intact", run.intact);
}

void writeFacts(JsonWriter& json, const PortStatusSet& set) {
  json.field("kind", "status");
  json.field("printer", set.printer);
  json.field("change", set.change);
  if (set.status) json.field("status", *set.status);
  if (set.after) {
    json.field("after_ms", *set.after);
    return;
  }
  json.field("prints", set.prints);
}

void writeFacts(JsonWriter& json, const DeviceIdAsked& asked) {
  json.field("kind", "devid");
  json.field("queue", asked.queue);
  writeResult(json, asked.result);
  if (!asked.result.succeeded) return;
  json.field("returned", asked.returned);
  json.field("device_id", asked.deviceId);
}

void writeFacts(JsonWriter& json, const PortDeleted& deleted) {
  json.field("kind", "deleteport");
  json.field("port", deleted.port);
  writeResult(json, deleted.result);
}

}  // namespace nrvsim
