// soak: runs random nrvsim scenarios and checks each run (run_checks.h).
//   soak [--count=N | --seconds=S] [--seed=N] [--nrvsim=PATH]
// Scenario k of a run is written from seed N+k, so a failure is repeated by
// its seed alone (--seed=that --count=1); it is printed with its scenario,
// and its folder (scenario, documents, nrvsim's output) is kept.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run_checks.h"
#include "scenario_writer.h"

extern char** environ;

namespace {

struct Options {
  uint64_t firstSeed = 1;
  uint64_t count = 30;
  double seconds = 0;  // when set, runs for this long instead of count scenarios
  std::string nrvsim = NRVSIM_PROGRAM;
};

bool takeOption(const char* argument, const char* name, std::string* value) {
  size_t length = std::strlen(name);
  if (std::strncmp(argument, name, length) != 0 || argument[length] != '=') return false;
  *value = argument + length + 1;
  return true;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream stream(path, std::ios::binary);
  stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

soak::RunResult runNrvsim(const Options& options, const std::filesystem::path& folder, bool windows98) {
  std::string scenario = "--scenario=" + (folder / "scenario.txt").string();
  std::string profile = windows98 ? "--profile=98" : "--profile=2000";
  std::vector<char*> arguments{const_cast<char*>(options.nrvsim.c_str()), const_cast<char*>("--json"),
                               profile.data(), scenario.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, (folder / "output.json").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (folder / "errors.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  soak::RunResult result;
  pid_t child = 0;
  int spawned = posix_spawn(&child, options.nrvsim.c_str(), &actions, nullptr, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    result.exitStatus = -1;
    result.errors = "cannot start " + options.nrvsim + ": " + std::strerror(spawned);
    return result;
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.output = readFile(folder / "output.json");
  result.errors = readFile(folder / "errors.txt");
  if (WIFSIGNALED(status)) result.errors += "\n(ended by signal " + std::to_string(WTERMSIG(status)) + ")";
  return result;
}

// Writes and runs the scenario of one seed; true when its run passed every check.
bool soakOne(const Options& options, const std::filesystem::path& base, uint64_t seed) {
  soak::SoakScenario scenario = soak::writeScenario(seed);
  std::filesystem::path folder = base / ("seed-" + std::to_string(seed));
  std::filesystem::create_directories(folder);
  writeFile(folder / "scenario.txt", scenario.text.data(), scenario.text.size());
  for (const soak::SoakDocument& document : scenario.documents)
    writeFile(folder / document.name, document.bytes.data(), document.bytes.size());
  std::vector<std::string> problems = soak::checkRun(runNrvsim(options, folder, scenario.windows98));
  if (problems.empty()) {
    std::filesystem::remove_all(folder);
    return true;
  }
  std::printf("soak: seed %llu FAILED (Windows %s; kept in %s):\n", static_cast<unsigned long long>(seed),
              scenario.windows98 ? "98" : "2000", folder.c_str());
  for (const std::string& problem : problems) std::printf("  %s\n", problem.c_str());
  std::printf("  scenario:\n");
  size_t start = 0;
  while (start < scenario.text.size()) {
    size_t end = scenario.text.find('\n', start);
    std::printf("    %s\n", scenario.text.substr(start, end - start).c_str());
    start = end + 1;
  }
  std::fflush(stdout);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; index++) {
    std::string value;
    if (takeOption(argv[index], "--seed", &value)) {
      options.firstSeed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (takeOption(argv[index], "--count", &value)) {
      options.count = std::strtoull(value.c_str(), nullptr, 10);
    } else if (takeOption(argv[index], "--seconds", &value)) {
      options.seconds = std::strtod(value.c_str(), nullptr);
    } else if (takeOption(argv[index], "--nrvsim", &value)) {
      options.nrvsim = value;
    } else {
      std::fprintf(stderr, "usage: soak [--count=N | --seconds=S] [--seed=N] [--nrvsim=PATH]\n");
      return 2;
    }
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "nrv-soak-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "soak: cannot make a folder in %s\n",
                 std::filesystem::temp_directory_path().c_str());
    return 2;
  }
  std::filesystem::path base(pattern);
  auto started = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  uint64_t ran = 0;
  uint64_t failed = 0;
  for (uint64_t seed = options.firstSeed;; seed++) {
    if (options.seconds > 0 ? elapsed() >= options.seconds : ran >= options.count) break;
    if (!soakOne(options, base, seed)) failed++;
    ran++;
  }
  std::printf("soak: %llu scenario(s), seeds %llu to %llu, %llu failed, %.1f s\n",
              static_cast<unsigned long long>(ran), static_cast<unsigned long long>(options.firstSeed),
              static_cast<unsigned long long>(options.firstSeed + ran - 1),
              static_cast<unsigned long long>(failed), elapsed());
  if (failed == 0) std::filesystem::remove_all(base);
  return failed == 0 ? 0 : 1;
}
