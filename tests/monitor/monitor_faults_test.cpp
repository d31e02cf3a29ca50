// Allocations that fail inside the monitor: a port whose record cannot be
// made is missing from that scan only, and a failure anywhere in the start
// or a scan leaves no crash, no leak and a correct listing at the next scan.
#include <map>

#include "base/fault_injector.h"
#include "monitor_machine.h"

namespace {

using nrv::FaultKind;

constexpr char kLaser[] = "MFG:ABC;MDL:P100;DES:ABC P100 Laser;";

class MonitorFaults : public MonitorMachine {
 protected:
  void failNextAllocation() {
    machine.faults().failNth(FaultKind::UserAllocation, machine.faults().requests(FaultKind::UserAllocation) + 1);
  }
};

TEST_F(MonitorFaults, APortWhoseRecordCannotBeMadeIsMissingFromThatScanOnly) {
  startMonitor();
  unplug(plug(kLaser, "SN1"));
  failNextAllocation();
  PortListing listing = enumPorts(1, 0);
  EXPECT_TRUE(listing.result);
  EXPECT_EQ(listing.returned, 0u);
  EXPECT_EQ(machine.faults().failures(), 1u);
  std::vector<nrv::PortRecord> records = ports();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].description, "USB Port Not Connected");
}

// The pass over attached printers tries again, so a plugged printer is listed.
TEST_F(MonitorFaults, APluggedPrinterIsListedWhenTheFirstTryFails) {
  startMonitor();
  plug(kLaser, "SN1");
  failNextAllocation();
  std::vector<nrv::PortRecord> records = ports();
  EXPECT_EQ(machine.faults().failures(), 1u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].description, "ABC P100 Laser");
}

// A connected printer, one that is not, and one without a description.
void plugPrinters(MonitorBench& bench) {
  bench.plug(kLaser, "SN1");
  nrv::UsbDevice& second = bench.plug("MFG:ABC;MDL:P200;", "SN2");
  bench.plug("MFG:ABC;DES:;", "SN3");
  bench.unplug(second);
}

// Every allocation of the monitor's start and of two scans fails in turn, each
// on a machine of its own, until a run ends before the allocation to fail.
TEST(MonitorFaultSweep, NoCrashNoLeakAndAWholeListingAtTheNextScan) {
  int swept = 0;
  for (int nth = 1; nth < 200; nth++) {
    SCOPED_TRACE(nth);
    MonitorBench bench;
    plugPrinters(bench);
    nrv::FaultInjector& faults = bench.machine.faults();
    faults.failNth(FaultKind::UserAllocation, faults.requests(FaultKind::UserAllocation) + nth);
    bench.startMonitor();
    bench.ports();
    bench.ports();
    if (faults.failures() == 0) break;
    swept = nth;
    // The listing after the failing one is whole again; a record made late stands later.
    bench.ports();
    std::map<std::string, std::string> described;
    for (const nrv::PortRecord& record : bench.ports())
      described[record.name] = record.description.value_or("(null)");
    ASSERT_EQ(described, (std::map<std::string, std::string>{{"NRVUSB001:", "ABC P100 Laser"},
                                                              {"NRVUSB002:", "USB Port Not Connected"},
                                                              {"NRVUSB003:", "Unknown USB Printer"}}));
  }
  EXPECT_GT(swept, 20) << "a start and two scans of three ports allocate more than that";
}

}  // namespace
