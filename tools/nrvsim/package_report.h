// How `install`, `answer`, `uninstall` and `leftovers` are told: the
// transcript's lines and the --json document's members.
#pragma once

#include <string>
#include <vector>

#include "events.h"
#include "json_writer.h"

namespace nrvsim {

std::vector<std::string> factLines(const PackageInstalled& installed);
std::vector<std::string> factLines(const AnswersScripted& scripted);
std::vector<std::string> factLines(const PackageUninstalled& uninstalled);
std::vector<std::string> factLines(const LeftoversListed& listed);
void writeFacts(JsonWriter& json, const PackageInstalled& installed);
void writeFacts(JsonWriter& json, const AnswersScripted& scripted);
void writeFacts(JsonWriter& json, const PackageUninstalled& uninstalled);
void writeFacts(JsonWriter& json, const LeftoversListed& listed);

}  // namespace nrvsim
