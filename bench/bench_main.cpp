// Runs the benchmarks and writes what they measured as a Markdown table
// (name, measure, value, target, ratio): --table=FILE, beside the usual
// console report. Ratios pair each path with the memcpy of the same bytes
// measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

// The console report, and each run kept by its benchmark's name.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred)
        runs_[run.run_name.function_name] = run;
      else
        failed_.push_back(run.run_name.function_name + ": " + run.error_message);
    }
  }
  const Run* find(const std::string& name) const {
    auto found = runs_.find(name);
    return found == runs_.end() ? nullptr : &found->second;
  }
  const std::vector<std::string>& failed() const { return failed_; }

 private:
  std::map<std::string, Run> runs_;
  std::vector<std::string> failed_;
};

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), pattern, value);
  return text;
}

// Thousands separated, as the link's limits are written.
std::string whole(double value) {
  std::string digits = format("%.0f", value);
  std::string grouped;
  for (size_t at = 0; at < digits.size(); at++) {
    size_t left = digits.size() - at;
    if (at > 0 && digits[at - 1] != '-' && left % 3 == 0) grouped += ',';
    grouped += digits[at];
  }
  return grouped;
}

double counter(const benchmark::BenchmarkReporter::Run& run, const char* name) {
  auto found = run.counters.find(name);
  return found == run.counters.end() ? 0.0 : found->second.value;
}

struct Row {
  std::string name, measure, value, target, ratio;
};

class Table {
 public:
  explicit Table(const TableReporter& runs) : runs_(runs) {}

  void throughput(const std::string& name, const char* path, const char* memcpyRun,
                  const std::string& target) {
    const auto* run = runs_.find(path);
    const auto* copy = runs_.find(memcpyRun);
    if (run == nullptr || copy == nullptr) return missing(name);
    double rate = counter(*run, "bytes_per_second");
    double copyRate = counter(*copy, "bytes_per_second");
    rows_.push_back({name, "bytes per second of process CPU time", whole(rate), target,
                     format("%.3f", rate / copyRate) + " of memcpy (" + whole(copyRate) + ")"});
  }

  void copies(const std::string& name, const char* run_name) {
    const auto* run = runs_.find(run_name);
    if (run == nullptr) return missing(name);
    rows_.push_back({name, "bytes of print data copied besides the printer's receipt",
                     whole(counter(*run, "data_copied_bytes")) + " (received " +
                         whole(counter(*run, "received_bytes")) + "; control codes copied " +
                         whole(counter(*run, "control_copied_bytes")) + ")",
                     "0", "-"});
  }

  void virtualTime(const std::string& name, const char* run_name, double limit) {
    const auto* run = runs_.find(run_name);
    if (run == nullptr) return missing(name);
    double rate = counter(*run, "virtual_bytes_per_second");
    rows_.push_back({name, "virtual time; bulk payload per virtual second",
                     whole(counter(*run, "virtual_ms")) + " ms; " + whole(rate) + " B/s",
                     "link limit " + whole(limit) + " B/s", format("%.3f", rate / limit) + " of the link"});
  }

  void rate(const std::string& name, const char* run_name, const char* measure) {
    const auto* run = runs_.find(run_name);
    if (run == nullptr) return missing(name);
    rows_.push_back({name, measure, whole(counter(*run, "items_per_second")), "-", "-"});
  }

  void write(std::ostream& out) const {
    out << "| name | measure | value | target | ratio |\n|---|---|---|---|---|\n";
    for (const Row& row : rows_)
      out << "| " << row.name << " | " << row.measure << " | " << row.value << " | " << row.target << " | "
          << row.ratio << " |\n";
  }

 private:
  void missing(const std::string& name) {
    rows_.push_back({name, "not measured (failed or filtered out)", "-", "-", "-"});
  }

  const TableReporter& runs_;
  std::vector<Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string tableFile;
  std::vector<char*> arguments;
  for (int index = 0; index < argc; index++) {
    if (std::strncmp(argv[index], "--table=", 8) == 0)
      tableFile = argv[index] + 8;
    else
      arguments.push_back(argv[index]);
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  Table table(reporter);
  table.throughput("driver write path, 64 KiB write", "DriverWrite64KiB", "Memcpy64KiB", "-");
  table.throughput("whole way, 1 MiB spooler job", "WholeWay1MiB", "Memcpy1MiB", "0.5 of memcpy");
  table.copies("copies, 1 MiB written to the driver", "CopiesDriverWrite");
  table.copies("copies, 1 MiB spooler job", "CopiesWholeWay");
  table.virtualTime("10 MiB job, full speed", "TenMiBJob/full_speed", 1216000);
  table.virtualTime("10 MiB job, high speed", "TenMiBJob/high_speed", 53248000);
  table.virtualTime("10 MiB in 64 KiB driver writes, full speed", "TenMiBDriverWrites/full_speed", 1216000);
  table.virtualTime("10 MiB in 64 KiB driver writes, high speed", "TenMiBDriverWrites/high_speed", 53248000);
  table.rate("EnumPorts, 127 ports", "EnumPorts127", "calls per second (wall clock)");
  table.rate("plug-to-unplug cycle", "PlugUnplugCycle", "cycles per second (wall clock)");
  if (!tableFile.empty()) {
    std::ofstream out(tableFile);
    table.write(out);
    if (!out) {
      std::cerr << "nrv_bench: cannot write " << tableFile << "\n";
      return 1;
    }
  }
  for (const std::string& failure : reporter.failed()) std::cerr << "nrv_bench: failed: " << failure << "\n";
  return reporter.failed().empty() ? 0 : 1;
}
