// How the spooler's facts are told: the transcript's lines and the --json
// document's members for printers, jobs, status changes, device IDs and ports.
#pragma once

#include <string>
#include <vector>

#include "events.h"
#include "json_writer.h"

namespace nrvsim {

// "0x30 (paper empty, selected, error)".
std::string portStatusText(uint8_t status);

// The transcript's lines for each, without their indentation.
std::vector<std::string> spoolerLines(const QueueAdded& added);
std::vector<std::string> spoolerLines(const SpoolerJobRun& run);
std::vector<std::string> spoolerLines(const PortStatusSet& set);
std::vector<std::string> spoolerLines(const DeviceIdAsked& asked);
std::vector<std::string> spoolerLines(const PortDeleted& deleted);

// The members of the step's object for each.
void writeSpoolerFacts(JsonWriter& json, const QueueAdded& added);
void writeSpoolerFacts(JsonWriter& json, const SpoolerJobRun& run);
void writeSpoolerFacts(JsonWriter& json, const PortStatusSet& set);
void writeSpoolerFacts(JsonWriter& json, const DeviceIdAsked& asked);
void writeSpoolerFacts(JsonWriter& json, const PortDeleted& deleted);

}  // namespace nrvsim
