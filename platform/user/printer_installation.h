// What the operating system does when Plug and Play has identified a new
// printer device node under the LPTENUM enumerator: it puts the node in the
// printer setup class, gives it a driver key, and creates a printer queue on
// the node's port, named from its description, as the add-printer wizard
// does; on Windows 98 the port also goes to the front of the shell's list of
// recently used printer ports. A node already in the printer class (plugged
// in before) is left as it is. Without a running spooler the queue is only
// written to the registry; the spooler finds it when it starts.
#pragma once

#include <string>

#include "base/os_profile.h"

namespace nrv {

class Registry;
class Spooler;
class SystemLocale;
struct DeviceNode;

struct PrinterInstallationServices {
  OsProfile profile;
  Registry& registry;
  SystemLocale& locale;
  Spooler& spooler;
};

constexpr const char16_t* kPrinterClassGuid = u"{4D36E979-E325-11CE-BFC1-08002BE10318}";
constexpr const char16_t* kPrinterPortsMruKey =
    u"\\Registry\\User\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";

void installPrinterDevice(const PrinterInstallationServices& services, const DeviceNode& node);

// The name a new queue gets when the one it asks for is taken: "NAME (Copy 2)", "NAME (Copy 3)", ...
std::u16string freePrinterName(const PrinterInstallationServices& services, const std::u16string& wanted);

// Puts the port first in the list of recently used printer ports.
void rememberPrinterPort(Registry& registry, const std::u16string& port);

}  // namespace nrv
