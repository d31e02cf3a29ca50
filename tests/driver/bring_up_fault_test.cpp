// Device creation and configuration with every allocation failing in turn: each
// run ends with a defined status, and the machine shuts down without a leak.
#include "printer_on_bus.h"

namespace {

struct BringUp {
  NTSTATUS created;
  NTSTATUS configured;
};

// Creates and configures one printer; the nth request of the kind fails when n > 0.
BringUp bringUp(nrv::FaultKind kind, uint64_t nth, uint64_t* requests) {
  PrinterBench bench;
  nrv::UsbDevice& usb = bench.plug();
  nrv::FaultInjector& faults = bench.machine.faults();
  uint64_t before = faults.requests(kind);
  if (nth != 0) faults.failNth(kind, before + nth);
  BringUp result{STATUS_PENDING, STATUS_PENDING};
  AddedPrinter printer = bench.add(usb);
  result.created = printer.status;
  if (NT_SUCCESS(printer.status)) result.configured = PLMUSB_ConfigureDevice(printer.fdo);
  if (requests != nullptr) *requests = faults.requests(kind) - before;
  faults.clear();
  return result;
}

void sweep(nrv::FaultKind kind) {
  uint64_t total = 0;
  BringUp clean = bringUp(kind, 0, &total);
  ASSERT_EQ(clean.created, STATUS_SUCCESS);
  ASSERT_EQ(clean.configured, STATUS_SUCCESS);
  ASSERT_GT(total, 0u);
  const NTSTATUS defined[] = {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY};
  for (uint64_t nth = 1; nth <= total; nth++) {
    BringUp run = bringUp(kind, nth, nullptr);
    EXPECT_NE(std::find(std::begin(defined), std::end(defined), run.created), std::end(defined))
        << nrv::faultKindName(kind) << " #" << nth << ": creation returned " << std::hex << run.created;
    if (NT_SUCCESS(run.created)) {
      EXPECT_NE(std::find(std::begin(defined), std::end(defined), run.configured), std::end(defined))
          << nrv::faultKindName(kind) << " #" << nth << ": configuration returned " << std::hex << run.configured;
    }
  }
}

TEST(BringUpUnderLowResources, EveryPoolAllocationFailingInTurn) { sweep(nrv::FaultKind::Pool); }

TEST(BringUpUnderLowResources, EveryRequestAllocationFailingInTurn) { sweep(nrv::FaultKind::Irp); }

}  // namespace
