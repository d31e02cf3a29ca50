// A 10 MiB spooler job's virtual time at full and at high speed, on a printer
// that takes every byte at once, beside what the link can carry: bulk payload
// of 19 packets of 64 bytes a 1 ms frame, or 13 of 512 bytes a 125 us microframe.
#include <benchmark/benchmark.h>

#include "bench_machine.h"

namespace nrv_bench {
namespace {

constexpr size_t kJob = 10 * 1024 * 1024;

void TenMiBJob(benchmark::State& state, nrv::UsbSpeed speed) {
  BenchMachine bench;
  bench.plug("BENCH1", speed);
  bench.startSpooler();
  bench.addQueue("Q1", "NRVUSB001:");
  std::vector<uint8_t> bytes = patternBytes(kJob);
  uint64_t milliseconds = 0;
  for (auto _ : state) {
    uint64_t start = bench.now();
    if (!bench.printJob("Q1", bytes)) state.SkipWithError("the job did not print");
    milliseconds = bench.now() - start;
  }
  state.counters["virtual_ms"] = static_cast<double>(milliseconds);
  state.counters["virtual_bytes_per_second"] = milliseconds == 0 ? 0.0 : kJob * 1000.0 / milliseconds;
}
BENCHMARK_CAPTURE(TenMiBJob, full_speed, nrv::UsbSpeed::Full)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TenMiBJob, high_speed, nrv::UsbSpeed::High)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same 10 MiB written straight to the driver in 64 KiB writes: against
// the job's 4 KiB pieces, what a transfer's last partly used frame costs.
void TenMiBDriverWrites(benchmark::State& state, nrv::UsbSpeed speed) {
  constexpr size_t kWrite = 64 * 1024;
  BenchMachine bench;
  PFILE_OBJECT file = bench.open(bench.plug("BENCH1", speed));
  std::vector<uint8_t> bytes = patternBytes(kWrite);
  uint64_t milliseconds = 0;
  for (auto _ : state) {
    uint64_t start = bench.now();
    for (size_t at = 0; at < kJob; at += kWrite) {
      if (bench.machine.io().write(file, bytes.data(), kWrite).status.Information != kWrite) {
        state.SkipWithError("a write did not move all its bytes");
        break;
      }
    }
    milliseconds = bench.now() - start;
  }
  state.counters["virtual_ms"] = static_cast<double>(milliseconds);
  state.counters["virtual_bytes_per_second"] = milliseconds == 0 ? 0.0 : kJob * 1000.0 / milliseconds;
}
BENCHMARK_CAPTURE(TenMiBDriverWrites, full_speed, nrv::UsbSpeed::Full)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TenMiBDriverWrites, high_speed, nrv::UsbSpeed::High)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nrv_bench
