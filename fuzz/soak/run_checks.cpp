#include "run_checks.h"

#include <map>
#include <optional>

#include "json_value.h"

namespace soak {

namespace {

std::string where(const JsonValue& step) {
  return "line " + std::to_string(static_cast<int>(step["line"].numberOr(0))) + " (" +
         step["command"].textOr("?") + ")";
}

// The bytes the driver said each write moved must be the bytes the printer got.
void checkPrint(const JsonValue& print, const std::string& at, std::vector<std::string>& problems) {
  if (print["received"].isNull()) return;
  double reported = 0;
  for (const JsonValue& write : print["writes"].items)
    reported += write["information"].numberOr(0) * write["times"].numberOr(1);
  double received = print["received"].numberOr(-1);
  if (reported != received) {
    problems.push_back(at + ": the writes reported " + std::to_string(static_cast<long>(reported)) +
                       " bytes, the printer received " + std::to_string(static_cast<long>(received)));
  }
  bool whole = !print["writes"].items.empty() && received == print["size"].numberOr(-1);
  if (whole && print["identical"].kind == JsonValue::Kind::Bool && !print["identical"].boolean)
    problems.push_back(at +
                       ": the printer received as many bytes as the document has, but not the same ones");
}

// The bytes the port took from the spooler must be the bytes the printer got, in order
// (nrvsim leaves out what it cannot tell: a job that follows one still printing).
void checkSpoolerJob(const JsonValue& job, const std::string& at, std::vector<std::string>& problems) {
  if (job["received"].isNull() || job["bytes_taken"].isNull()) return;
  double taken = job["bytes_taken"].numberOr(-1);
  double received = job["received"].numberOr(-1);
  if (taken != received) {
    problems.push_back(at + ": the port took " + std::to_string(static_cast<long>(taken)) +
                       " bytes, the printer received " + std::to_string(static_cast<long>(received)));
  }
  if (job["intact"].kind == JsonValue::Kind::Bool && !job["intact"].boolean)
    problems.push_back(at + ": the printer did not receive the bytes the port took, in order");
}

// The port names of printers whose nodes were seen started, as plugs and shows tell them.
class PortNames {
 public:
  void step(const JsonValue& step, const std::string& at, std::vector<std::string>& problems) {
    std::string kind = step["kind"].textOr("");
    std::string printer = step["printer"].textOr("");
    if ((kind == "plug" || kind == "show") && step["state"].textOr("") == "started" &&
        step["port_name"].kind == JsonValue::Kind::String) {
      std::string port = step["port_name"].text;
      for (const auto& [other, otherPort] : started_) {
        if (other != printer && otherPort == port)
          problems.push_back(at + ": " + printer + " has port " + port + ", which " + other + " has too");
      }
      started_[printer] = port;
    } else if (kind == "show" || kind == "unplug") {
      // Unplugged, or not started (a safe removal that was refused is seen again by the next show).
      started_.erase(printer);
    } else if (kind == "reboot" || kind == "wake") {
      // Nodes start again: the shows that follow tell their names.
      started_.clear();
    }
  }

 private:
  std::map<std::string, std::string> started_;
};

}  // namespace

std::vector<std::string> checkRun(const RunResult& run) {
  std::vector<std::string> problems;
  if (run.exitStatus != 0) {
    problems.push_back("nrvsim exited with status " + std::to_string(run.exitStatus) + ": " + run.errors);
  }
  std::string error;
  std::optional<JsonValue> document = parseJson(run.output, &error);
  if (!document) {
    problems.push_back("nrvsim's output is " + error);
    return problems;
  }
  if (!(*document)["error"].isNull())
    problems.push_back("a command did not run: " + (*document)["error"]["message"].textOr("?"));
  if ((*document)["shutdown"].textOr("") != "clean")
    problems.push_back("the machine did not shut down clean");
  PortNames ports;
  for (const JsonValue& step : (*document)["steps"].items) {
    std::string at = where(step);
    std::string kind = step["kind"].textOr("");
    ports.step(step, at, problems);
    if (kind == "print") checkPrint(step, at, problems);
    if (kind == "wait_job" && step["outcome"]["kind"].textOr("") == "print")
      checkPrint(step["outcome"], at, problems);
    if (kind == "job" || kind == "retry") checkSpoolerJob(step, at, problems);
  }
  return problems;
}

}  // namespace soak
