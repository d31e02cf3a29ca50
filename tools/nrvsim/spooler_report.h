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
std::vector<std::string> factLines(const InstalledQueue& installed);
std::vector<std::string> factLines(const QueueAdded& added);
std::vector<std::string> factLines(const SpoolerJobRun& run);
std::vector<std::string> factLines(const PortStatusSet& set);
std::vector<std::string> factLines(const DeviceIdAsked& asked);
std::vector<std::string> factLines(const PortDeleted& deleted);

// The members of the step's object for each.
void writeFacts(JsonWriter& json, const std::vector<InstalledQueue>& installed);
void writeFacts(JsonWriter& json, const QueueAdded& added);
void writeFacts(JsonWriter& json, const SpoolerJobRun& run);
void writeFacts(JsonWriter& json, const PortStatusSet& set);
void writeFacts(JsonWriter& json, const DeviceIdAsked& asked);
void writeFacts(JsonWriter& json, const PortDeleted& deleted);

}  // namespace nrvsim
