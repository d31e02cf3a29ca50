// The system's installation of a new printer device node under LPTENUM: the
// printer class on the node, a driver key, a queue named from its description
// on the port its device key names, and on Windows 98 the port at the front
// of the recently used printer ports. A node installed before, or one of
// another enumerator, is left alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "kernel/pnp_manager.h"
#include "kernel/registry.h"
#include "machine/machine.h"
#include "user/printer_installation.h"

namespace {

class SpoolerInstallation : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  SpoolerInstallation() {
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.registerMonitor("Test Port Monitor", "TESTMON.DLL");
  }

  bool on98() const { return GetParam() == nrv::OsProfile::Windows98; }

  // A child node as Plug and Play leaves it once identified: its registry node,
  // and the port its driver wrote in its device key.
  nrv::DeviceNode child(const std::u16string& model, const std::u16string& port,
                        const std::u16string& description) {
    nrv::DeviceNode node;
    node.deviceId = u"LPTENUM\\" + model;
    node.instancePath = node.deviceId + u"\\" + port;
    machine.registry().createDeviceNode(GetParam(), node.instancePath, description);
    machine.registry().setString(nrv::Registry::deviceKeyPath(GetParam(), node.instancePath), u"PortName",
                                 port);
    return node;
  }
  void install(const nrv::DeviceNode& node) {
    nrv::installPrinterDevice(
        nrv::PrinterInstallationServices{GetParam(), machine.registry(), machine.locale(), machine.spooler()},
        node);
  }
  std::vector<std::string> queues() {
    std::vector<std::string> found;
    for (const auto& printer : machine.spooler().printers())
      found.push_back(printer->name() + " on " + printer->port());
    return found;
  }
  std::u16string instanceKey(const nrv::DeviceNode& node) {
    return nrv::Registry::instanceKeyPath(GetParam(), node.instancePath);
  }
  std::optional<std::u16string> mru(const std::u16string& name) {
    return machine.registry().stringValue(nrv::kPrinterPortsMruKey, name);
  }

  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
};

TEST_P(SpoolerInstallation, ANewChildGetsThePrinterClassADriverKeyAndAQueueOnItsPort) {
  machine.startSpooler();
  nrv::DeviceNode node = child(u"NRVUSB_Printer_17B3A", u"TEST1:", u"NRV USB Printer 1");
  install(node);
  nrv::Registry& registry = machine.registry();
  EXPECT_EQ(registry.stringValue(instanceKey(node), u"Class"), u"Printer");
  if (on98()) {
    EXPECT_EQ(registry.stringValue(instanceKey(node), u"Driver"), u"Printer\\0000");
  } else {
    EXPECT_EQ(registry.stringValue(instanceKey(node), u"ClassGUID"),
              u"{4D36E979-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(registry.stringValue(instanceKey(node), u"Driver"),
              u"{4D36E979-E325-11CE-BFC1-08002BE10318}\\0000");
  }
  EXPECT_EQ(queues(), std::vector<std::string>{"NRV USB Printer 1 on TEST1:"});

  // Plugged again: the node is in the printer class already, no second queue.
  install(node);
  EXPECT_EQ(queues(), std::vector<std::string>{"NRV USB Printer 1 on TEST1:"});

  // Another printer of the same description gets a name of its own.
  install(child(u"NRVUSB_Printer_17B3A", u"TEST2:", u"NRV USB Printer 1"));
  EXPECT_EQ(queues(), (std::vector<std::string>{"NRV USB Printer 1 on TEST1:",
                                                "NRV USB Printer 1 (Copy 2) on TEST2:"}));

  // Only LPTENUM's nodes are printers to install.
  nrv::DeviceNode other = child(u"NRVUSB_Printer_17B3A", u"TEST2:", u"Other");
  other.deviceId = u"USB\\VID_0A5F&PID_0027";
  install(other);
  EXPECT_EQ(queues().size(), 2u);
}

TEST_P(SpoolerInstallation, Windows98PutsThePortFirstInTheRecentlyUsedPorts) {
  machine.startSpooler();
  install(child(u"A", u"TEST1:", u"First"));
  install(child(u"B", u"TEST2:", u"Second"));
  if (!on98()) {
    EXPECT_FALSE(machine.registry().keyExists(nrv::kPrinterPortsMruKey));
    return;
  }
  EXPECT_EQ(mru(u"a"), u"TEST1:");
  EXPECT_EQ(mru(u"b"), u"TEST2:");
  EXPECT_EQ(mru(u"MRUList"), u"ba");
  // A port listed already moves to the front, without a second value.
  nrv::rememberPrinterPort(machine.registry(), u"test1:");
  EXPECT_EQ(mru(u"MRUList"), u"ab");
  EXPECT_EQ(mru(u"c"), std::nullopt);
  // A value removed by a clean-up leaves its letter free and out of the order.
  machine.registry().deleteValue(nrv::kPrinterPortsMruKey, u"a");
  nrv::rememberPrinterPort(machine.registry(), u"NRVUSB003:");
  EXPECT_EQ(mru(u"a"), u"NRVUSB003:");
  EXPECT_EQ(mru(u"MRUList"), u"ab");
}

TEST_P(SpoolerInstallation, WithoutARunningSpoolerTheQueueWaitsInTheRegistry) {
  install(child(u"A", u"TEST1:", u"Early, Printer"));
  EXPECT_TRUE(queues().empty());
  machine.startSpooler();
  EXPECT_EQ(queues(), std::vector<std::string>{"Early_ Printer on TEST1:"});
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, SpoolerInstallation,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
