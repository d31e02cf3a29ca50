#include "scenario_run.h"

#include <cstdio>

#include "print_job.h"
#include "report.h"
#include "session.h"
#include "terminal_text.h"

namespace nrvsim {

namespace {

constexpr int kModuleFailed = 1;
constexpr int kScenarioError = 2;

std::string describe(const ScenarioError& error, const RunOptions& options) {
  // The built-in scenario's only failure is a --print file, named in the message.
  if (options.sourceName.empty()) return error.message;
  std::string where = options.sourceName;
  if (options.inlineSource && error.command > 0) {
    where += ", command " + std::to_string(error.command);
  } else if (error.line > 0) {
    where += ":" + std::to_string(error.line);
  }
  return where + ": " + error.message;
}

int complain(const std::string& message, int status = kScenarioError) {
  std::fprintf(stderr, "nrvsim: %s\n", withoutControlBytes(message).c_str());
  return status;
}

// Runs the commands until one cannot run; the machine shuts down either way,
// once the background jobs the scenario left running have ended.
int runCommands(const std::vector<Command>& commands, const RunOptions& options, Report& report) {
  int status = 0;
  {
    Session session(options.profile, report);
    std::optional<std::string> failure = session.installDriver(options.driverModule);
    if (!failure) failure = session.installMonitor(options.monitorModule);
    if (failure) {
      status = complain(*failure, kModuleFailed);
    } else {
      for (const Command& command : commands) {
        try {
          session.run(command);
        } catch (const ScenarioError& error) {
          std::string message = describe(error, options);
          report.stepFailed(error, message);
          complain(message);
          status = kScenarioError;
          break;
        }
      }
      session.finishJobs();
    }
    report.shuttingDown(session.now());
  }
  report.shutdownClean();
  return status;
}

}  // namespace

int runScenario(const RunOptions& options) {
  std::vector<Command> commands;
  try {
    commands = parseScenario(options.source);
    checkDocuments(commands, options.baseDirectory);
  } catch (const ScenarioError& error) {
    return complain(describe(error, options));
  }
  std::unique_ptr<Report> report = options.json ? makeJsonReport(stdout) : makeTranscript(stdout);
  return runCommands(commands, options, *report);
}

}  // namespace nrvsim
