// The driver's write path: one 64 KiB write IRP through NRVUSB to the bus and
// the printer, beside a memcpy of the same 64 KiB. Both count the CPU time of
// every thread of the process, since the bus completes transfers on its own.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_machine.h"

namespace nrv_bench {
namespace {

constexpr size_t kTransfer = 64 * 1024;

void DriverWrite64KiB(benchmark::State& state) {
  BenchMachine bench;
  nrv::UsbDevice& printer = bench.plug("BENCH1");
  PFILE_OBJECT file = bench.open(printer);
  std::vector<uint8_t> bytes = patternBytes(kTransfer);
  for (auto _ : state) {
    nrv::IrpOutcome outcome = bench.machine.io().write(file, bytes.data(), kTransfer);
    if (outcome.status.Status != STATUS_SUCCESS || outcome.status.Information != kTransfer) {
      state.SkipWithError("a write did not move all its bytes");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}
BENCHMARK(DriverWrite64KiB)->MeasureProcessCPUTime();

void Memcpy64KiB(benchmark::State& state) {
  std::vector<uint8_t> from = patternBytes(kTransfer);
  std::vector<uint8_t> to(kTransfer);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kTransfer);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}
BENCHMARK(Memcpy64KiB)->MeasureProcessCPUTime();

}  // namespace
}  // namespace nrv_bench
