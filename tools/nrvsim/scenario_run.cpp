#include "scenario_run.h"

#include <algorithm>
#include <cstdio>

#include "machine/machine_folder.h"
#include "print_job.h"
#include "report.h"
#include "run_recording.h"
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

bool installsPackage(const std::vector<Command>& commands) {
  return std::any_of(commands.begin(), commands.end(), [](const Command& command) {
    return std::holds_alternative<InstallCommand>(command.action);
  });
}

// The package's four files: the driver and monitor modules of the run, each with its Windows image.
nrv::PackageFiles packageOf(const RunOptions& options) {
  nrv::PackageFiles package = options.package;
  package.driver.hostModule = options.driverModule;
  package.monitor.hostModule = options.monitorModule;
  return package;
}

// Runs the commands until one cannot run; the machine shuts down either way,
// once the background jobs the scenario left running have ended. A machine
// loaded from a folder has its driver and monitor already; a machine kept in
// a folder is saved there after its shutdown.
int runCommands(const std::vector<Command>& commands, const RunOptions& options, Report& report,
                const std::optional<nrv::MachineState>& loaded, RunRecording& recording) {
  int status = 0;
  std::optional<nrv::MachineState> left;
  {
    nrv::UsbTrafficListener* traffic = recording.listener();
    std::unique_ptr<Session> running =
        loaded ? std::make_unique<Session>(*loaded, options.machineFolder, report, traffic)
               : std::make_unique<Session>(options.profile, report, traffic);
    Session& session = *running;
    session.setPackage(packageOf(options));
    std::optional<std::string> failure;
    if (!loaded && installsPackage(commands)) {
      session.startBareSpooler();
    } else if (!loaded) {
      failure = session.installDriver(options.driverModule);
      if (!failure) failure = session.installMonitor(options.monitorModule);
    }
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
    if (!options.machineFolder.empty()) left = session.shutDown();
  }
  if (left) {
    std::string error;
    if (nrv::saveMachine(*left, options.machineFolder, &error)) {
      report.saved(options.machineFolder);
    } else {
      status = complain("cannot save the machine: " + error, kModuleFailed);
    }
  }
  report.shutdownClean();
  std::string error;
  if (!recording.finish(error)) status = complain("cannot write " + error, kModuleFailed);
  return status;
}

// The machine the folder holds, checked against the command line; none for a folder that holds none yet.
bool loadFolder(const RunOptions& options, std::optional<nrv::MachineState>* loaded, std::string* error) {
  if (options.machineFolder.empty() || !nrv::holdsMachine(options.machineFolder)) return true;
  nrv::MachineState state;
  if (!nrv::loadMachine(options.machineFolder, &state, error)) {
    *error = "cannot load the machine: " + *error;
    return false;
  }
  if (options.profileGiven && state.profile != options.profile) {
    *error = "the machine in " + options.machineFolder + " runs " + nrv::osProfileName(state.profile) +
             ", but --profile asks for " + nrv::osProfileName(options.profile);
    return false;
  }
  *loaded = std::move(state);
  return true;
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
  std::optional<nrv::MachineState> loaded;
  std::string error;
  if (!loadFolder(options, &loaded, &error)) return complain(error);
  RunRecording recording;
  if (!recording.open(options, error)) return complain("cannot write " + error);
  std::unique_ptr<Report> report = options.json ? makeJsonReport(stdout) : makeTranscript(stdout);
  return runCommands(commands, options, recording.report(*report), loaded, recording);
}

}  // namespace nrvsim
