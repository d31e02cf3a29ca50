// Random plugs, unplugs and locale changes, each followed by a listing that is
// checked against the scan's rule written out once more here: every device
// that ever registered has a port; a port whose printer is plugged in carries
// the printer's name (DESCRIPTION, else MODEL, else unknown; an empty
// DESCRIPTION keeps the last name given), every other port is not connected.
#include <map>
#include <optional>
#include <random>
#include <set>

#include "base/text.h"
#include "id_field_rule.h"
#include "monitor_machine.h"

namespace {

struct ExpectedPort {
  std::string description;
  std::optional<std::string> last;
};

class RandomScan : public MonitorMachine {
 protected:
  std::string text(const char16_t* english, const char16_t* japanese) {
    return machine.locale().toAnsi(machine.locale().lcid() == 0x0411 ? japanese : english);
  }
  std::string notConnected() { return text(u"USB Port Not Connected", u"USBﾎﾟｰﾄが接続されていません"); }
  std::string unknown() { return text(u"Unknown USB Printer", u"不明なUSBﾌﾟﾘﾝﾀ"); }

  std::optional<std::string> deviceValue(const std::u16string& instance, const char16_t* name) {
    auto value = machine.registry().stringValue(nrv::Registry::deviceKeyPath(machine.profile(), instance), name);
    if (!value) return std::nullopt;
    return nrv::toUtf8(*value);
  }

  // The scan, applied to what the registry and the bus say now.
  void scan() {
    for (auto& [name, port] : expected) port.description = notConnected();
    for (const std::u16string& instance : everPlugged) {
      std::optional<std::string> name = deviceValue(instance, u"PortName");
      if (name && !expected.count(*name)) expected[*name] = ExpectedPort{notConnected(), std::nullopt};
    }
    for (nrv::UsbDevice* device : machine.usb().devices()) {
      std::optional<std::string> name = deviceValue(device->instancePath(), u"PortName");
      if (!name) continue;
      std::optional<std::string> id = deviceValue(device->instancePath(), u"DeviceID");
      std::string described = unknown();
      if (id) described = idFieldByRule(*id, "DESCRIPTION", "DES").value_or(idFieldByRule(*id, "MODEL", "MDL").value_or(unknown()));
      ExpectedPort& port = expected[*name];
      if (!described.empty()) {
        port = ExpectedPort{described, described};
      } else {
        if (!port.last) port.last = unknown();
        port.description = *port.last;
      }
    }
  }

  std::map<std::string, ExpectedPort> expected;
  std::set<std::u16string> everPlugged;
};

TEST_F(RandomScan, EveryListingFollowsTheRule) {
  const std::vector<std::string> pieces = {"MFG:ABC;", "MDL:P1;", "MDL:P2;", "MODEL:Long;", "DES:Laser;",
                                           "DES:Ink Jet;", "DES:;", "CMD:PCL;", "DESCRIPTION:Full;"};
  std::mt19937 random(2024);  // fixed seed: the same run every time
  startMonitor();
  std::vector<std::string> lastOrder;
  for (int step = 0; step < 300; step++) {
    SCOPED_TRACE(step);
    std::vector<nrv::UsbDevice*> plugged = machine.usb().devices();
    unsigned action = random() % 10;
    if (action < 4 && plugged.size() < 6) {
      std::string id;
      for (unsigned count = 1 + random() % 3; count > 0; count--) id += pieces[random() % pieces.size()];
      everPlugged.insert(plug(id, "SN" + std::to_string(random() % 9)).instancePath());
    } else if (action < 8 && !plugged.empty()) {
      unplug(*plugged[random() % plugged.size()]);
    } else if (action == 8) {
      machine.locale().setLcid(machine.locale().lcid() == 0x0411 ? 0x0409 : 0x0411);
    }
    std::vector<nrv::PortRecord> listed = ports();
    scan();
    std::map<std::string, std::string> seen;
    std::vector<std::string> order;
    for (const nrv::PortRecord& record : listed) {
      seen[record.name] = record.description.value_or("(null)");
      order.push_back(record.name);
    }
    std::map<std::string, std::string> wanted;
    for (const auto& [name, port] : expected) wanted[name] = port.description;
    ASSERT_EQ(seen, wanted);
    // A scan never reorders the records it had.
    ASSERT_TRUE(std::equal(lastOrder.begin(), lastOrder.end(), order.begin()));
    lastOrder = order;
  }
}

}  // namespace
