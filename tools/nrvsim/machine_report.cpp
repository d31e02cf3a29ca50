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

}  // namespace nrvsim
