// The whole way: a spooler job's bytes handed to NRVUSBMN's WritePort in the
// spooler's pieces, through NRVUSB to the bus and the printer, beside a memcpy
// of the same bytes. CPU time of every thread of the process.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_machine.h"

namespace nrv_bench {
namespace {

constexpr size_t kJob = 1024 * 1024;

void WholeWay1MiB(benchmark::State& state) {
  BenchMachine bench;
  bench.plug("BENCH1");
  bench.startSpooler();
  bench.addQueue("Q1", "NRVUSB001:");
  std::vector<uint8_t> bytes = patternBytes(kJob);
  for (auto _ : state) {
    if (!bench.printJob("Q1", bytes)) {
      state.SkipWithError("a job did not print");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJob));
}
BENCHMARK(WholeWay1MiB)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void Memcpy1MiB(benchmark::State& state) {
  std::vector<uint8_t> from = patternBytes(kJob);
  std::vector<uint8_t> to(kJob);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kJob);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kJob));
}
BENCHMARK(Memcpy1MiB)->MeasureProcessCPUTime();

}  // namespace
}  // namespace nrv_bench
