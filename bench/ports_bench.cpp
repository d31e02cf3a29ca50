// The monitor's EnumPorts with 127 printers plugged in (a bus's every
// address), each with a port of its own, and one printer's plug-to-unplug
// cycle through the driver's start and removal. Wall-clock rates.
#include <benchmark/benchmark.h>

#include "bench_machine.h"
#include "user/process.h"

namespace nrv_bench {
namespace {

constexpr int kPrinters = 127;

void EnumPorts127(benchmark::State& state) {
  BenchMachine bench;
  for (int index = 1; index <= kPrinters; index++) bench.plug("SERIAL" + std::to_string(index));
  bench.startSpooler();
  nrv::ProcessScope scope(*bench.machine.spooler().process());
  DWORD needed = 0, returned = 0;
  bench.monitor.pfnEnumPorts(nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed * 2);
  for (auto _ : state) {
    if (!bench.monitor.pfnEnumPorts(nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                                    &returned)) {
      state.SkipWithError("EnumPorts failed");
      break;
    }
  }
  state.counters["ports"] = returned;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EnumPorts127)->UseRealTime()->Unit(benchmark::kMicrosecond);

void PlugUnplugCycle(benchmark::State& state) {
  BenchMachine bench;
  for (auto _ : state) {
    nrv::UsbDevice& printer = bench.plug("CYCLE");
    bench.machine.usb().unplug(printer);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(PlugUnplugCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace nrv_bench
