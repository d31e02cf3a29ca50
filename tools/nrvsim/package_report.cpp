#include "package_report.h"

#include <algorithm>

#include "base/text.h"
#include "terminal_text.h"
#include "user/message_boxes.h"
#include "win32_error.h"

namespace nrvsim {

namespace {

void addBoxLines(std::vector<std::string>& lines, const std::vector<MessageBoxFacts>& boxes) {
  for (const MessageBoxFacts& box : boxes) {
    lines.push_back("message box of " + box.process + ", " + quotedText(box.caption) + ", " +
                    nrv::describeMessageBoxStyle(box.style) + ":");
    size_t start = 0;
    // The text line by line, as the box shows it.
    while (start <= box.text.size()) {
      size_t end = std::min(box.text.find('\n', start), box.text.size());
      lines.push_back("  | " + withoutControlBytes(box.text.substr(start, end - start)));
      start = end + 1;
    }
    lines.push_back("  the person pressed " + box.answer);
  }
}

std::string itemText(const PackageItemFacts& item) {
  return item.kind + " " + withoutControlBytes(item.name) +
         (item.expectedBecause.empty() ? "" : " (expected: " + item.expectedBecause + ")");
}

void writeBoxes(JsonWriter& json, const std::vector<MessageBoxFacts>& boxes) {
  json.key("message_boxes").beginArray();
  for (const MessageBoxFacts& box : boxes) {
    json.beginObject();
    json.field("process", box.process);
    json.field("caption", box.caption);
    json.field("text", box.text);
    json.field("style", box.style);
    json.field("answer", box.answer);
    json.endObject();
  }
  json.endArray();
}

void writeItems(JsonWriter& json, const char* name, const std::vector<PackageItemFacts>& items) {
  json.key(name).beginArray();
  for (const PackageItemFacts& item : items) {
    json.beginObject();
    json.field("kind", item.kind);
    json.field("name", item.name);
    json.field("expected", !item.expectedBecause.empty());
    if (!item.expectedBecause.empty()) json.field("because", item.expectedBecause);
    json.endObject();
  }
  json.endArray();
}

}  // namespace

// The boxes come from InstallPortMonitor, so they stand between the two results.
std::vector<std::string> factLines(const PackageInstalled& installed) {
  std::vector<std::string> lines;
  for (const std::string& step : installed.steps) lines.push_back(withoutControlBytes(step));
  if (installed.checkVersion)
    lines.push_back("CheckVersion returned " + win32ErrorText(*installed.checkVersion));
  addBoxLines(lines, installed.boxes);
  if (installed.installPortMonitor)
    lines.push_back("InstallPortMonitor returned " + win32ErrorText(*installed.installPortMonitor));
  lines.push_back(installed.stopped.empty()
                      ? "the package is installed"
                      : "the installation stopped: " + withoutControlBytes(installed.stopped));
  return lines;
}

std::vector<std::string> factLines(const AnswersScripted& scripted) {
  std::string waiting;
  for (const std::string& answer : scripted.waiting) waiting += (waiting.empty() ? "" : ", ") + answer;
  return {"the next message boxes will be answered: " + waiting};
}

std::vector<std::string> factLines(const PackageUninstalled& uninstalled) {
  if (!uninstalled.failure.empty())
    return {"NRVUSBUN.EXE did not run: " + withoutControlBytes(uninstalled.failure)};
  std::vector<std::string> lines;
  addBoxLines(lines, uninstalled.boxes);
  if (uninstalled.removed.empty()) lines.push_back("nothing of the package was removed");
  for (const PackageItemFacts& item : uninstalled.removed) lines.push_back("removed " + itemText(item));
  for (const PackageItemFacts& item : uninstalled.scheduled)
    lines.push_back("left for the next start: " + withoutControlBytes(item.name));
  lines.push_back(nrv::format("NRVUSBUN.EXE exited with code %u", uninstalled.exitCode));
  return lines;
}

std::vector<std::string> factLines(const LeftoversListed& listed) {
  size_t unexpected =
      std::count_if(listed.items.begin(), listed.items.end(),
                    [](const PackageItemFacts& item) { return item.expectedBecause.empty(); });
  if (listed.items.empty()) return {"nothing of the package is left"};
  std::vector<std::string> lines{nrv::format(
      "%zu thing(s) of the package left, %zu of them unexpected:", listed.items.size(), unexpected)};
  for (const PackageItemFacts& item : listed.items)
    lines.push_back(std::string(item.expectedBecause.empty() ? "  UNEXPECTED " : "  ") + itemText(item));
  return lines;
}

void writeFacts(JsonWriter& json, const PackageInstalled& installed) {
  json.field("kind", "install");
  json.key("steps").beginArray();
  for (const std::string& step : installed.steps) json.value(step);
  json.endArray();
  writeBoxes(json, installed.boxes);
  if (installed.checkVersion) json.field("check_version", *installed.checkVersion);
  if (installed.installPortMonitor) json.field("install_port_monitor", *installed.installPortMonitor);
  json.field("installed", installed.stopped.empty());
  if (!installed.stopped.empty()) json.field("stopped", installed.stopped);
}

void writeFacts(JsonWriter& json, const AnswersScripted& scripted) {
  json.field("kind", "answer");
  json.key("waiting").beginArray();
  for (const std::string& answer : scripted.waiting) json.value(answer);
  json.endArray();
}

void writeFacts(JsonWriter& json, const PackageUninstalled& uninstalled) {
  json.field("kind", "uninstall");
  json.field("ran", uninstalled.failure.empty());
  if (!uninstalled.failure.empty()) {
    json.field("failure", uninstalled.failure);
    return;
  }
  writeBoxes(json, uninstalled.boxes);
  writeItems(json, "removed", uninstalled.removed);
  writeItems(json, "scheduled", uninstalled.scheduled);
  json.field("exit_code", uninstalled.exitCode);
}

void writeFacts(JsonWriter& json, const LeftoversListed& listed) {
  json.field("kind", "leftovers");
  writeItems(json, "items", listed.items);
  json.field("unexpected", static_cast<uint64_t>(std::count_if(
                               listed.items.begin(), listed.items.end(),
                               [](const PackageItemFacts& item) { return item.expectedBecause.empty(); })));
}

}  // namespace nrvsim
