// Copies of print data the machine makes between the caller's buffer and the
// printer's sink, as its copy counter sees them, for a write straight to the
// driver and for a spooler job. The printer's own receipt is not among them:
// it is the one copy a print needs.
#include <benchmark/benchmark.h>

#include "bench_machine.h"

namespace nrv_bench {
namespace {

constexpr size_t kBytes = 1024 * 1024;

void reportCopies(benchmark::State& state, BenchMachine& bench, nrv::UsbDevice& printer) {
  nrv::CopyCounter& copies = bench.machine.irps().copies();
  // Print data goes one way, to the printer: a write's bytes are what a copy of it would be.
  state.counters["data_copied_bytes"] = static_cast<double>(copies.bytes(nrv::CopyKind::WriteIn));
  state.counters["data_copies"] = static_cast<double>(copies.copies(nrv::CopyKind::WriteIn));
  state.counters["control_copied_bytes"] = static_cast<double>(copies.bytes(nrv::CopyKind::ControlInput) +
                                                               copies.bytes(nrv::CopyKind::ControlOutput));
  state.counters["all_copied_bytes"] = static_cast<double>(copies.totalBytes());
  state.counters["received_bytes"] = static_cast<double>(BenchMachine::bytesReceived(printer));
}

void CopiesDriverWrite(benchmark::State& state) {
  BenchMachine bench;
  nrv::UsbDevice& printer = bench.plug("BENCH1");
  PFILE_OBJECT file = bench.open(printer);
  std::vector<uint8_t> bytes = patternBytes(kBytes);
  bench.machine.irps().copies().reset();
  for (auto _ : state) {
    for (size_t at = 0; at < kBytes; at += 64 * 1024)
      bench.machine.io().write(file, bytes.data() + at, 64 * 1024);
  }
  reportCopies(state, bench, printer);
}
BENCHMARK(CopiesDriverWrite)->Iterations(1);

void CopiesWholeWay(benchmark::State& state) {
  BenchMachine bench;
  nrv::UsbDevice& printer = bench.plug("BENCH1");
  bench.startSpooler();
  bench.addQueue("Q1", "NRVUSB001:");
  std::vector<uint8_t> bytes = patternBytes(kBytes);
  // The first job opens the port, which the spooler keeps open: what follows is what one job costs.
  bench.printJob("Q1", {});
  bench.machine.irps().copies().reset();
  uint64_t before = BenchMachine::bytesReceived(printer);
  for (auto _ : state) {
    if (!bench.printJob("Q1", bytes)) state.SkipWithError("the job did not print");
  }
  reportCopies(state, bench, printer);
  state.counters["received_bytes"] = state.counters["received_bytes"] - static_cast<double>(before);
}
BENCHMARK(CopiesWholeWay)->Iterations(1);

}  // namespace
}  // namespace nrv_bench
