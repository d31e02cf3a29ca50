#include "printer_facts.h"

#include <algorithm>

#include "base/text.h"
#include "printer_config.h"

namespace nrvsim {

namespace {

// The class of the interface the driver registers for its printers; user-mode
// clients find printers by it.
const GUID kPrinterInterfaceClass = {
    0x762bb1b6, 0x5164, 0x11d1, {0xb0, 0x0b, 0x00, 0xc0, 0xd1, 0x57, 0x0f, 0x9e}};

std::u16string deviceKey(nrv::Machine& machine, const nrv::UsbDevice& usb) {
  return nrv::Registry::deviceKeyPath(machine.profile(), usb.instancePath());
}

std::optional<unsigned> serialNumberFound(nrv::Machine& machine, const nrv::UsbDevice& usb) {
  std::optional<nrv::RegistryValue> value =
      machine.registry().value(deviceKey(machine, usb), u"SerialNumberFound");
  if (!value || value->bytes.empty()) return std::nullopt;
  return value->bytes.front();
}

const char* pipeTypeName(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeControl:
      return "control";
    case UsbdPipeTypeIsochronous:
      return "isochronous";
    case UsbdPipeTypeBulk:
      return "bulk";
    case UsbdPipeTypeInterrupt:
      return "interrupt";
  }
  return "?";
}

std::optional<ConfigurationFacts> configuration(const nrv::UsbDevice& usb) {
  std::vector<nrv::UsbPipe> pipes = usb.pipes();
  if (!usb.configured() || pipes.empty()) return std::nullopt;
  ConfigurationFacts facts;
  facts.interfaceNumber = pipes.front().interfaceNumber;
  facts.alternateSetting = usb.model().alternateSetting(facts.interfaceNumber);
  for (const nrv::UsbInterfaceDescription& described : usb.model().description().interfaces) {
    if (described.number != facts.interfaceNumber || described.alternateSetting != facts.alternateSetting)
      continue;
    facts.interfaceClass = described.interfaceClass;
    facts.protocol = described.interfaceProtocol;
  }
  for (const nrv::UsbPipe& pipe : pipes) {
    facts.pipes.push_back(PipeFacts{pipe.endpointAddress, pipeTypeName(pipe.type), pipe.maxPacketSize});
  }
  return facts;
}

std::vector<std::string> utf8(const std::vector<std::u16string>& texts) {
  std::vector<std::string> converted;
  for (const std::u16string& text : texts) converted.push_back(nrv::toUtf8(text));
  return converted;
}

ChildFacts describeChild(const nrv::DeviceNode& child) {
  ChildFacts facts;
  facts.instancePath = nrv::toUtf8(child.instancePath);
  facts.state = nrv::deviceNodeStateName(child.state);
  facts.deviceId = nrv::toUtf8(child.deviceId);
  facts.hardwareIds = utf8(child.hardwareIds);
  facts.compatibleIds = utf8(child.compatibleIds);
  facts.instanceId = nrv::toUtf8(child.instanceId);
  facts.description = nrv::toUtf8(child.description);
  return facts;
}

}  // namespace

std::optional<std::string> deviceKeyText(nrv::Machine& machine, const nrv::UsbDevice& usb,
                                         const char16_t* name) {
  std::optional<std::u16string> text = machine.registry().stringValue(deviceKey(machine, usb), name);
  if (!text) return std::nullopt;
  return nrv::toUtf8(*text);
}

// Matched by name rather than by device object: the name is what a user-mode
// client holds, and it stays the same when the printer is plugged in again.
std::optional<std::u16string> printerInterfaceLink(nrv::Machine& machine, const nrv::UsbDevice& usb) {
  std::u16string prefix = u"\\??\\" + usb.instancePath() + u"#";
  std::replace(prefix.begin() + 4, prefix.end(), u'\\', u'#');
  for (const nrv::InterfaceRecord& record : machine.interfaces().list(kPrinterInterfaceClass)) {
    if (record.enabled && record.linkName.compare(0, prefix.size(), prefix) == 0) return record.linkName;
  }
  return std::nullopt;
}

PrinterPlugged describePlug(nrv::Machine& machine, const nrv::UsbDevice& usb, const PlugCommand& command,
                            const nrv::PrinterConfig& config) {
  PrinterPlugged plugged;
  plugged.printer = command.printer;
  plugged.rawDeviceId = command.rawDeviceId.has_value();
  plugged.deviceId = plugged.rawDeviceId ? *command.rawDeviceId : deviceIdText(config.deviceId);
  if (config.usb.serialNumber) plugged.serialNumber = nrv::toUtf8(*config.usb.serialNumber);
  plugged.protocol = command.protocol;
  plugged.highSpeed = command.speed == nrv::UsbSpeed::High;
  plugged.faults = describeFaults(command.faults);
  plugged.port = usb.port();
  plugged.instancePath = nrv::toUtf8(usb.instancePath());
  plugged.driverAttached = usb.pdo()->AttachedDevice != nullptr;
  plugged.portName = deviceKeyText(machine, usb, u"PortName");
  plugged.waitsForWake = machine.usb().waitsForWake(usb);
  if (const nrv::DeviceNode* node = machine.pnp().find(usb.pdo())) {
    plugged.state = nrv::deviceNodeStateName(node->state);
    plugged.addStatus = node->addStatus;
    if (NT_SUCCESS(node->addStatus)) plugged.startStatus = node->startStatus;
    plugged.children = node->children.size();
  }
  return plugged;
}

PrinterShown describePrinter(nrv::Machine& machine, const NamedPrinter& printer) {
  const nrv::UsbDevice& usb = *printer.usb;
  PrinterShown shown;
  shown.printer = printer.name;
  shown.instancePath = nrv::toUtf8(usb.instancePath());
  shown.openHandles = machine.io().openFilesOn(usb.pdo());
  shown.portName = deviceKeyText(machine, usb, u"PortName");
  shown.deviceId = deviceKeyText(machine, usb, u"DeviceID");
  shown.serialNumberFound = serialNumberFound(machine, usb);
  if (std::optional<std::u16string> link = printerInterfaceLink(machine, usb))
    shown.interfaceLink = nrv::toUtf8(*link);
  shown.configuration = configuration(usb);
  if (const nrv::DeviceNode* node = machine.pnp().find(usb.pdo())) {
    shown.state = nrv::deviceNodeStateName(node->state);
    for (const auto& child : node->children) shown.children.push_back(describeChild(*child));
  } else {
    shown.state =
        machine.usb().waitsForWake(usb) ? "not enumerated before the wake" : "unknown to Plug and Play";
  }
  return shown;
}

}  // namespace nrvsim
