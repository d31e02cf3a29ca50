#include "user/printer_queue_registry.h"

#include "base/text.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

std::u16string printersKey() { return u"\\Registry\\Machine\\" + toUtf16(kPrintersKey); }

std::u16string printerKey(const std::u16string& name) { return printersKey() + u"\\" + name; }

}  // namespace

void storePrinter(Registry& registry, const StoredPrinter& printer) {
  std::u16string key = printerKey(printer.name);
  registry.setString(key, u"Name", printer.name);
  registry.setString(key, u"Port", printer.port);
  registry.setDword(key, u"Attributes", PRINTER_ATTRIBUTE_LOCAL);
  registry.setDword(key, u"dnsTimeout", printer.timeouts.notSelected);
  registry.setDword(key, u"txTimeout", printer.timeouts.retry);
}

void forgetPrinter(Registry& registry, const std::u16string& name) { registry.deleteTree(printerKey(name)); }

bool printerStored(const Registry& registry, const std::u16string& name) {
  return registry.keyExists(printerKey(name));
}

std::vector<StoredPrinter> storedPrinters(const Registry& registry) {
  std::vector<StoredPrinter> printers;
  for (const std::u16string& keyName : registry.subkeys(printersKey())) {
    std::u16string key = printerKey(keyName);
    std::optional<std::u16string> port = registry.stringValue(key, u"Port");
    if (!port || port->empty()) continue;
    StoredPrinter printer{registry.stringValue(key, u"Name").value_or(keyName), *port, {}};
    if (printer.name.empty()) printer.name = keyName;
    printer.timeouts.notSelected =
        registry.dwordValue(key, u"dnsTimeout").value_or(printer.timeouts.notSelected);
    printer.timeouts.retry = registry.dwordValue(key, u"txTimeout").value_or(printer.timeouts.retry);
    printers.push_back(std::move(printer));
  }
  return printers;
}

}  // namespace nrv
