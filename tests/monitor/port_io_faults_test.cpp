// A whole job with each allocation of one kind failing in turn, user-mode and
// kernel alike: no crash, no leak, no hang, and the printer receives exactly
// the bytes WritePort said it took, in order, once.
#include "base/fault_injector.h"
#include "port_io_machine.h"

namespace {

using nrv::FaultKind;

// Three pieces the printer must receive in order, each as often as it was taken.
const std::string kPieces[] = {std::string(5000, 'a'), std::string(70000, 'b'), std::string(300, 'c')};

// Writes each piece until the port took all of it or a call fails; what was
// taken, in order.
std::string printJob(PortIoBench& bench, HANDLE port) {
  std::string taken;
  for (const std::string& piece : kPieces) {
    size_t offset = 0;
    for (int tries = 0; offset < piece.size() && tries < 8; tries++) {
      DWORD written = 0;
      BOOL result = bench.write(port, piece.substr(offset), &written);
      taken += piece.substr(offset, written);
      offset += written;
      if (!result) return taken;
    }
  }
  return taken;
}

void sweep(FaultKind kind) {
  int swept = 0;
  for (int nth = 1; nth < 400; nth++) {
    SCOPED_TRACE(std::string(nrv::faultKindName(kind)) + " allocation " + std::to_string(nth));
    PortIoBench bench;
    nrv::UsbDevice& printer = bench.plug("SN1");
    bench.start();
    bench.addQueue("Q1", "NRVUSB001:");
    nrv::FaultInjector& faults = bench.machine.faults();
    faults.failNth(kind, faults.requests(kind) + nth);
    HANDLE port = bench.openPort("NRVUSB001:");
    std::string taken;
    if (port != nullptr && bench.startDoc(port, "Q1")) taken = printJob(bench, port);
    if (port != nullptr) {
      bench.endDoc(port);
      bench.closePort(port);
    }
    std::vector<UCHAR> received = bench.model(printer).outData();
    ASSERT_EQ(std::string(received.begin(), received.end()), taken);
    if (faults.failures() == 0) break;
    swept = nth;
  }
  EXPECT_GT(swept, 0) << "no allocation of this kind in a job";
}

TEST(PortIoFaultSweep, UserModeAllocations) { sweep(FaultKind::UserAllocation); }
TEST(PortIoFaultSweep, PoolAllocations) { sweep(FaultKind::Pool); }
TEST(PortIoFaultSweep, IrpAllocations) { sweep(FaultKind::Irp); }
TEST(PortIoFaultSweep, MdlAllocations) { sweep(FaultKind::Mdl); }

}  // namespace
