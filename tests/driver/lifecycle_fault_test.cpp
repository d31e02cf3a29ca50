// A printer's whole life - plug, start, child enumeration, print, read back,
// sleep, wake, unplug - with every allocation of a kind failing in turn. Each
// run must end: no crash, no hang, and a machine that shuts down without a
// leak (its shutdown checks stop the process otherwise).
#include "printer_on_bus.h"

namespace {

// Runs the life once; the nth request of the kind fails when n > 0. Returns
// how many requests of the kind the life made.
uint64_t live(nrv::FaultKind kind, uint64_t nth) {
  PrinterBench bench;
  bench.machine.pnp().setFunctionDriver(&bench.driver->object);
  nrv::FaultInjector& faults = bench.machine.faults();
  uint64_t before = faults.requests(kind);
  if (nth != 0) faults.failNth(kind, before + nth);

  nrv::PrinterConfig config;
  config.deviceId = nrv::ieee1284DeviceId("MFG:ABC;MDL:P100;CLS:PRINTER;");
  nrv::UsbDevice& usb = bench.plug(config);
  PDEVICE_OBJECT fdo = usb.pdo()->AttachedDevice;
  if (fdo != nullptr) {
    PFILE_OBJECT file = nullptr;
    if (NT_SUCCESS(bench.machine.io().open(reinterpret_cast<const char16_t*>(PLMUSB_Extension(fdo)->InterfaceLinkName),
                                           u"", &file))) {
      std::vector<UCHAR> page(150000, 0x41);
      bench.machine.io().write(file, page.data(), static_cast<ULONG>(page.size()));
      usb.model().queueInReply(std::vector<UCHAR>(10, 0x42));
      std::vector<UCHAR> reply(64);
      bench.machine.io().read(file, reply.data(), static_cast<ULONG>(reply.size()));
      bench.machine.io().close(file);
    }
  }
  std::vector<PDEVICE_OBJECT> stacks;
  for (nrv::DeviceNode* node : bench.machine.pnp().nodes()) {
    if (node->pdo != nullptr) stacks.insert(stacks.begin(), node->pdo);
  }
  if (NT_SUCCESS(bench.machine.power().setSystemPower(PowerSystemSleeping3, stacks).status)) {
    std::reverse(stacks.begin(), stacks.end());
    bench.machine.power().setSystemPower(PowerSystemWorking, stacks);
  }
  bench.machine.usb().unplug(usb);
  uint64_t made = faults.requests(kind) - before;
  faults.clear();
  return made;
}

void sweep(nrv::FaultKind kind) {
  uint64_t total = live(kind, 0);
  ASSERT_GT(total, 0u);
  for (uint64_t nth = 1; nth <= total; nth++) {
    SCOPED_TRACE(std::string(nrv::faultKindName(kind)) + " #" + std::to_string(nth));
    live(kind, nth);
  }
}

TEST(LifecycleUnderLowResources, EveryPoolAllocationFailingInTurn) { sweep(nrv::FaultKind::Pool); }

TEST(LifecycleUnderLowResources, EveryRequestAllocationFailingInTurn) { sweep(nrv::FaultKind::Irp); }

TEST(LifecycleUnderLowResources, EveryMdlAllocationFailingInTurn) { sweep(nrv::FaultKind::Mdl); }

}  // namespace
