// nrvsim: runs the simulated Windows machine from the command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "default_scenario.h"
#include "scenario_run.h"
#include "terminal_text.h"
#include "usage.h"

namespace {

constexpr int kUsageError = 2;

// The arguments one by one; an option's value is in the same one after '=' or in the next.
class ArgumentList {
 public:
  ArgumentList(int count, char** arguments) : count_(count), arguments_(arguments) {}

  bool done() const { return index_ >= count_; }
  const char* take() { return arguments_[index_++]; }

  // Takes the value when the argument is the option; an error message when the value is missing.
  bool takeValue(const char* argument, const char* option, std::string* value, std::string* error) {
    size_t length = std::strlen(option);
    if (std::strncmp(argument, option, length) != 0) return false;
    if (argument[length] == '=') {
      *value = argument + length + 1;
      return true;
    }
    if (argument[length] != '\0') return false;
    if (done()) {
      *error = std::string(option) + " needs a value";
    } else {
      *value = take();
    }
    return true;
  }

 private:
  int count_;
  char** arguments_;
  int index_ = 1;
};

int usageError(const std::string& message) {
  std::fprintf(stderr, "nrvsim: %s\n(see nrvsim --help)\n", nrvsim::withoutControlBytes(message).c_str());
  return kUsageError;
}

// A bare name is a file here, not a library for the loader to search for.
std::string hostFile(const std::string& name) {
  return name.find('/') == std::string::npos ? "./" + name : name;
}

struct CommandLine {
  nrvsim::RunOptions run;
  std::string scenarioFile;
  std::string inlineScenario;
  std::string printPath;
  bool help = false;
};

// Fills the command line from the next argument (and its value); an error message when it is not understood.
std::string takeArgument(ArgumentList& arguments, CommandLine& line) {
  const char* argument = arguments.take();
  std::string value;
  std::string error;
  auto option = [&](const char* name) { return arguments.takeValue(argument, name, &value, &error); };
  if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
    line.help = true;
  } else if (std::strcmp(argument, "--json") == 0) {
    line.run.json = true;
  } else if (option("--profile")) {
    if (!error.empty()) return error;
    if (value != "98" && value != "2000") return "unknown profile '" + value + "': use 98 or 2000";
    line.run.profile = value == "98" ? nrv::OsProfile::Windows98 : nrv::OsProfile::Windows2000;
    line.run.profileGiven = true;
  } else if (option("--machine")) {
    if (!error.empty() || value.empty()) return "--machine needs a folder";
    line.run.machineFolder = value;
  } else if (option("--driver")) {
    if (!error.empty() || value.empty()) return "--driver needs a file name";
    line.run.driverModule = hostFile(value);
  } else if (option("--monitor")) {
    if (!error.empty() || value.empty()) return "--monitor needs a file name";
    line.run.monitorModule = hostFile(value);
  } else if (option("--capture")) {
    if (!error.empty() || value.empty()) return "--capture needs a file name";
    line.run.captureFile = value;
  } else if (option("--timeline")) {
    if (!error.empty() || value.empty()) return "--timeline needs a file name";
    line.run.timelineFile = value;
  } else if (option("--print")) {
    if (!error.empty() || value.empty()) return "--print needs a file name";
    line.printPath = value;
  } else if (option("--scenario")) {
    if (!error.empty() || value.empty()) return "--scenario needs a file name";
    line.scenarioFile = value;
  } else if (option("--run")) {
    if (!error.empty() || value.empty()) return "--run needs commands";
    line.inlineScenario = value;
  } else {
    return std::string("unknown argument '") + argument + "'";
  }
  return "";
}

// The scenario to run: a file, the --run text, or the built-in one.
std::string chooseScenario(CommandLine& line) {
  int given = !line.scenarioFile.empty() + !line.inlineScenario.empty() + !line.printPath.empty();
  if (given > 1)
    return "--scenario, --run and --print exclude each other (a scenario prints with print commands)";
  nrvsim::RunOptions& run = line.run;
  if (!line.inlineScenario.empty()) {
    run.source = line.inlineScenario;
    run.sourceName = "--run";
    run.inlineSource = true;
  } else if (!line.scenarioFile.empty()) {
    std::ifstream file(line.scenarioFile, std::ios::binary);
    if (!file) return "cannot read scenario '" + line.scenarioFile + "': " + std::strerror(errno);
    run.source.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) return "reading scenario '" + line.scenarioFile + "' failed";
    run.sourceName = line.scenarioFile;
    run.baseDirectory = std::filesystem::path(line.scenarioFile).parent_path().string();
  } else {
    run.source = nrvsim::defaultScenario(line.printPath, run.profile);
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  line.run.driverModule = NRVUSB_MODULE;
  line.run.monitorModule = NRVUSBMN_MODULE;
  line.run.package.driver.image = NRV_PACKAGE_IMAGES "/NRVUSB.SYS";
  line.run.package.monitor.image = NRV_PACKAGE_IMAGES "/NRVUSBMN.DLL";
  line.run.package.installer = {NRV_PACKAGE_IMAGES "/NRVUSBIN.DLL", NRVUSBIN_MODULE};
  line.run.package.uninstaller = {NRV_PACKAGE_IMAGES "/NRVUSBUN.EXE", NRVUSBUN_MODULE};
  ArgumentList arguments(argc, argv);
  while (!arguments.done()) {
    std::string error = takeArgument(arguments, line);
    if (!error.empty()) return usageError(error);
  }
  if (line.help) {
    std::fputs(nrvsim::usageText().c_str(), stdout);
    return 0;
  }
  std::string error = chooseScenario(line);
  if (!error.empty()) return usageError(error);
  return nrvsim::runScenario(line.run);
}
