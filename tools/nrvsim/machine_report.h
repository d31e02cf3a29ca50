// How `files`, `registry` and `reboot` are told: the transcript's lines and the --json
// document's members.
#pragma once

#include <string>
#include <vector>

#include "events.h"
#include "json_writer.h"

namespace nrvsim {

std::vector<std::string> factLines(const FilesListed& listed);
std::vector<std::string> factLines(const RegistryListed& listed);
void writeFacts(JsonWriter& json, const FilesListed& listed);
void writeFacts(JsonWriter& json, const RegistryListed& listed);
std::vector<std::string> factLines(const MachineRestarted& start);
void writeFacts(JsonWriter& json, const MachineRestarted& start);

}  // namespace nrvsim
