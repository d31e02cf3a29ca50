// NRVUSBMN in the machine's spooler, reached as programs reach it: its ports
// after the local ones, following plug and unplug while programs ask at once,
// and its records let go with the library when the machine shuts down.
#include <gtest/gtest.h>
#include <winspool.h>

#include "base/text.h"
#include "machine/machine.h"
#include "usb/simulated_printer.h"
#include "usb/usb_bus.h"
#include "user/print_job.h"

namespace {

constexpr char kMonitorName[] = "Norvo USB Printer Port Monitor";

class SpoolerWithMonitor : public ::testing::Test {
 protected:
  SpoolerWithMonitor() {
    nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
    EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
    if (loaded.driver != nullptr) machine.pnp().setFunctionDriver(&loaded.driver->object);
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\NRVUSBMN.DLL", NRVUSBMN_MODULE);
    machine.registerMonitor(kMonitorName, "NRVUSBMN.DLL");
  }

  nrv::UsbDevice& plug(const std::string& serial) {
    nrv::PrinterConfig config;
    config.usb.serialNumber = nrv::toUtf16(serial);
    return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
  }

  // DeletePrinter on the queue, as a program deletes it; on the calling program's thread.
  static void deleteQueue(const char* name) {
    std::string queue = name;
    PRINTER_DEFAULTSA defaults{nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterA(queue.data(), &printer, &defaults));
    EXPECT_TRUE(DeletePrinter(printer));
    EXPECT_TRUE(ClosePrinter(printer));
  }

  // "name=description" of every port, as a program lists them.
  std::vector<std::string> listing() {
    std::vector<std::string> ports;
    for (const nrv::PortRecord& port : machine.spooler().ports())
      ports.push_back(port.name + "=" + port.description.value_or("(null)"));
    return ports;
  }

  nrv::Machine machine;
};

TEST_F(SpoolerWithMonitor, ListsThePrintersPortsAfterTheLocalOnes) {
  nrv::UsbDevice& printer = plug("SN1");
  machine.startSpooler();
  ASSERT_EQ(machine.spooler().monitors().size(), 2u);
  EXPECT_EQ(machine.spooler().monitors()[1].failure, "");
  std::vector<std::string> ports = listing();
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0].substr(0, 6), "LPT1:=");
  EXPECT_EQ(ports[3], "NRVUSB001:=NRV USB Printer 1");
  machine.usb().unplug(printer);
  EXPECT_EQ(listing().back(), "NRVUSB001:=USB Port Not Connected");
}

// The spooler hands DeletePortA to the monitor, which keeps a connected port
// (once the queue the system installed for the printer is gone).
TEST_F(SpoolerWithMonitor, DeletingAConnectedPortIsRefusedByTheMonitor) {
  plug("SN1");
  machine.startSpooler();
  listing();
  nrv::Process& program = machine.startProcess("program");
  nrv::ProcessScope scope(program);
  char port[] = "NRVUSB001:";
  EXPECT_FALSE(DeletePortA(nullptr, nullptr, port));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  deleteQueue("NRV USB Printer 1");
  EXPECT_FALSE(DeletePortA(nullptr, nullptr, port));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
}

// The spooler keeps a port open from one job to the next. Once the printer
// and its queue are gone, deleting the port lets go of that handle first:
// the monitor frees the port's record, and the monitor's later departure
// closes nothing that is gone.
TEST_F(SpoolerWithMonitor, APortPrintedToIsClosedBeforeItIsDeleted) {
  nrv::UsbDevice& usb = plug("SN1");
  machine.startSpooler();
  std::shared_ptr<nrv::PrintJob> job =
      machine.spooler().submitJob("NRV USB Printer 1", "doc", nrv::documentOf({1, 2, 3}));
  ASSERT_EQ(machine.spooler().waitForJob(*job), nrv::JobState::Done);
  machine.usb().unplug(usb);
  nrv::Process& program = machine.startProcess("program");
  nrv::ProcessScope scope(program);
  deleteQueue("NRV USB Printer 1");
  listing();  // the monitor learns the printer is gone
  char port[] = "NRVUSB001:";
  EXPECT_TRUE(DeletePortA(nullptr, nullptr, port)) << GetLastError();
  char monitor[] = "Norvo USB Printer Port Monitor";
  EXPECT_TRUE(DeleteMonitorA(nullptr, nullptr, monitor));
}

// Programs list ports on their threads while printers come and go; each
// listing is whole, and the last one follows the bus.
TEST_F(SpoolerWithMonitor, ProgramsListPortsWhilePrintersComeAndGo) {
  machine.startSpooler();
  nrv::Process& program = machine.startProcess("program");
  std::vector<size_t> sizes[2];
  for (int asker = 0; asker < 2; asker++) {
    program.startThread("asker", [this, &sizes, asker] {
      for (int round = 0; round < 8; round++) sizes[asker].push_back(machine.spooler().ports().size());
    });
  }
  for (int round = 0; round < 4; round++) {
    nrv::UsbDevice& printer = plug("SN" + std::to_string(round));
    if (round % 2 == 0) machine.usb().unplug(printer);
  }
  machine.joinThreads();
  for (const std::vector<size_t>& seen : sizes) {
    ASSERT_EQ(seen.size(), 8u);
    for (size_t count : seen) EXPECT_GE(count, 3u);
  }
  std::vector<std::string> ports = listing();
  EXPECT_GE(ports.size(), 5u);
}

}  // namespace
