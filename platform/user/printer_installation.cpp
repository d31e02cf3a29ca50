#include "user/printer_installation.h"

#include <algorithm>
#include <optional>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/pnp_manager.h"
#include "kernel/registry.h"
#include "user/printer_queue_registry.h"
#include "user/spooler.h"

namespace nrv {

namespace {

constexpr std::u16string_view kEnumerator = u"LPTENUM\\";
constexpr const char16_t* kPrinterClassName = u"Printer";

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool sameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

bool inPrinterClass(const PrinterInstallationServices& services, const std::u16string& instanceKey) {
  if (services.profile == OsProfile::Windows98)
    return sameText(services.registry.stringValue(instanceKey, u"Class").value_or(u""), kPrinterClassName);
  return sameText(services.registry.stringValue(instanceKey, u"ClassGUID").value_or(u""), kPrinterClassGuid);
}

// A printer's name holds neither '\' nor ','.
std::u16string printerName(std::u16string description) {
  std::replace_if(
      description.begin(), description.end(), [](char16_t c) { return c == u'\\' || c == u','; }, u'_');
  return description;
}

bool nameTaken(const PrinterInstallationServices& services, const std::u16string& name) {
  return printerStored(services.registry, name) ||
         (services.spooler.running() && services.spooler.printer(services.locale.toAnsi(name)) != nullptr);
}

}  // namespace

std::u16string freePrinterName(const PrinterInstallationServices& services, const std::u16string& wanted) {
  if (!nameTaken(services, wanted)) return wanted;
  for (unsigned copy = 2;; copy++) {
    std::u16string candidate = wanted + toUtf16(format(" (Copy %u)", copy));
    if (!nameTaken(services, candidate)) return candidate;
  }
}

// The values "a" to "z" hold the ports, MRUList their letters, most recent
// first. A port listed already moves to the front; with every letter taken,
// the least recent one is reused.
void rememberPrinterPort(Registry& registry, const std::u16string& port) {
  std::u16string order;
  for (char16_t letter : registry.stringValue(kPrinterPortsMruKey, u"MRUList").value_or(u"")) {
    if (letter >= u'a' && letter <= u'z' && order.find(letter) == std::u16string::npos &&
        registry.stringValue(kPrinterPortsMruKey, std::u16string(1, letter)))
      order += letter;
  }
  std::optional<char16_t> chosen;
  for (char16_t letter : order) {
    if (sameText(registry.stringValue(kPrinterPortsMruKey, std::u16string(1, letter)).value_or(u""), port))
      chosen = letter;
  }
  for (char16_t letter = u'a'; !chosen && letter <= u'z'; letter++) {
    if (!registry.stringValue(kPrinterPortsMruKey, std::u16string(1, letter))) chosen = letter;
  }
  if (!chosen) chosen = order.back();
  std::erase(order, *chosen);
  registry.setString(kPrinterPortsMruKey, std::u16string(1, *chosen), port);
  registry.setString(kPrinterPortsMruKey, u"MRUList", std::u16string(1, *chosen) + order);
}

void installPrinterDevice(const PrinterInstallationServices& services, const DeviceNode& node) {
  if (node.instancePath.empty() || node.deviceId.size() <= kEnumerator.size() ||
      !sameText(std::u16string_view(node.deviceId).substr(0, kEnumerator.size()), kEnumerator))
    return;
  Registry& registry = services.registry;
  std::u16string instanceKey = Registry::instanceKeyPath(services.profile, node.instancePath);
  if (!registry.keyExists(instanceKey) || inPrinterClass(services, instanceKey)) return;
  registry.setString(instanceKey, u"Class", kPrinterClassName);
  if (services.profile == OsProfile::Windows2000)
    registry.setString(instanceKey, u"ClassGUID", kPrinterClassGuid);
  registry.driverKeyPath(services.profile, node.instancePath);

  std::optional<std::u16string> port =
      registry.stringValue(Registry::deviceKeyPath(services.profile, node.instancePath), u"PortName");
  if (!port || port->empty()) return;
  std::u16string description = registry.stringValue(instanceKey, u"DeviceDesc").value_or(u"");
  if (description.empty()) description = node.deviceId.substr(kEnumerator.size());
  std::u16string name = freePrinterName(services, printerName(description));
  if (services.spooler.running()) {
    services.spooler.addPrinter(services.locale.toAnsi(name), services.locale.toAnsi(*port));
  } else {
    storePrinter(registry, StoredPrinter{name, *port, {}});
  }
  if (services.profile == OsProfile::Windows98) rememberPrinterPort(registry, *port);
}

}  // namespace nrv
