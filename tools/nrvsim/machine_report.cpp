#include "machine_report.h"

#include "base/text.h"
#include "terminal_text.h"

namespace nrvsim {

std::vector<std::string> factLines(const FilesListed& listed) {
  if (!listed.found) return {"no folder " + shownName(listed.folder)};
  std::vector<std::string> lines{nrv::format("%zu file(s) and folder(s) under %s:", listed.entries.size(),
                                             shownName(listed.folder).c_str())};
  for (const FileFacts& entry : listed.entries) {
    lines.push_back(entry.folder ? "  " + shownName(entry.path) + "\\"
                                 : nrv::format("  %s  %llu bytes", shownName(entry.path).c_str(),
                                               static_cast<unsigned long long>(entry.size)));
  }
  return lines;
}

std::vector<std::string> factLines(const RegistryListed& listed) {
  if (!listed.found) return {"no key " + shownName(listed.key)};
  std::vector<std::string> lines;
  for (const RegistryKeyFacts& key : listed.keys) {
    lines.push_back(shownName(key.path));
    for (const RegistryValueFacts& value : key.values) {
      std::string name = value.name.empty() ? "(default)" : shownName(value.name);
      lines.push_back("  " + name + "  " + value.type + "  " + withoutControlBytes(value.data));
    }
  }
  return lines;
}

void writeFacts(JsonWriter& json, const FilesListed& listed) {
  json.field("kind", "files");
  json.field("folder", listed.folder);
  json.field("found", listed.found);
  json.key("entries").beginArray();
  for (const FileFacts& entry : listed.entries) {
    json.beginObject();
    json.field("path", entry.path);
    json.field("folder", entry.folder);
    if (!entry.folder) json.field("size", entry.size);
    json.endObject();
  }
  json.endArray();
}

void writeFacts(JsonWriter& json, const RegistryListed& listed) {
  json.field("kind", "registry");
  json.field("key", listed.key);
  json.field("found", listed.found);
  json.key("keys").beginArray();
  for (const RegistryKeyFacts& key : listed.keys) {
    json.beginObject();
    json.field("path", key.path);
    json.key("values").beginArray();
    for (const RegistryValueFacts& value : key.values) {
      json.beginObject();
      json.field("name", value.name);
      json.field("type", value.type);
      json.field("data", value.data);
      json.endObject();
    }
    json.endArray();
    json.endObject();
  }
  json.endArray();
}

std::vector<std::string> factLines(const MachineRestarted& start) {
  std::vector<std::string> lines;
  if (start.requested) lines.push_back("a program asked for the restart");
  if (start.operations.empty()) lines.push_back("no file operations were left for the start");
  for (const FileOperationFacts& operation : start.operations) {
    lines.push_back(operation.source + ": " + withoutControlBytes(operation.text) + ": " + operation.outcome);
  }
  if (!start.driverService.empty()) {
    std::string image = start.driverImage.empty() ? "" : " (" + shownName(start.driverImage) + ")";
    lines.push_back(start.driverFailure.empty()
                        ? "driver " + start.driverService + image + " loaded again as the function driver"
                        : "driver " + start.driverService + image +
                              " did not load: " + withoutControlBytes(start.driverFailure));
  }
  if (start.spooler) {
    for (const MonitorBackFacts& monitor : start.monitors) {
      std::string which = quotedText(monitor.name) + " (" + shownName(monitor.file) + ")";
      lines.push_back(monitor.failure.empty() ? "port monitor " + which + " loaded again"
                                              : "port monitor " + which +
                                                    " did not load: " + withoutControlBytes(monitor.failure));
    }
  }
  for (const PrinterBackFacts& printer : start.printers) {
    lines.push_back("printer " + printer.printer + " is back: " + shownName(printer.instancePath) +
                    ", port " + (printer.portName ? shownName(*printer.portName) : "none"));
  }
  return lines;
}

void writeFacts(JsonWriter& json, const MachineRestarted& start) {
  json.field("kind", "reboot");
  json.field("requested", start.requested);
  json.key("operations").beginArray();
  for (const FileOperationFacts& operation : start.operations) {
    json.beginObject();
    json.field("source", operation.source);
    json.field("text", operation.text);
    json.field("outcome", operation.outcome);
    json.endObject();
  }
  json.endArray();
  if (!start.driverService.empty()) {
    json.key("driver").beginObject();
    json.field("service", start.driverService);
    json.field("image", start.driverImage);
    json.field("loaded", start.driverFailure.empty());
    if (!start.driverFailure.empty()) json.field("failure", start.driverFailure);
    json.endObject();
  }
  json.field("spooler", start.spooler);
  json.key("monitors").beginArray();
  for (const MonitorBackFacts& monitor : start.monitors) {
    json.beginObject();
    json.field("name", monitor.name);
    json.field("file", monitor.file);
    json.field("loaded", monitor.failure.empty());
    if (!monitor.failure.empty()) json.field("failure", monitor.failure);
    json.endObject();
  }
  json.endArray();
  json.key("printers").beginArray();
  for (const PrinterBackFacts& printer : start.printers) {
    json.beginObject();
    json.field("printer", printer.printer);
    json.field("instance_path", printer.instancePath);
    if (printer.portName) json.field("port_name", *printer.portName);
    json.endObject();
  }
  json.endArray();
}

}  // namespace nrvsim
