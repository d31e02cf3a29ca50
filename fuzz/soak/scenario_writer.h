// Random nrvsim scenarios from a seed: plugs with random device IDs, serial
// numbers, speeds, protocols and faults; prints, spooler jobs and reads of
// random sizes and timeouts, in the foreground and in the background;
// replies, status and paper changes, sleep and wake, unplugs (also safely),
// waits, cancels and restarts. The writer keeps the machine's state as the
// scenario will leave it, so every command it writes can run: a run that
// stops on a command is a fault of the writer or of nrvsim, never noise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// A document a scenario prints: its file name and its bytes.
struct SoakDocument {
  std::string name;
  std::vector<uint8_t> bytes;
};

struct SoakScenario {
  bool windows98 = false;  // the system it runs on, else Windows 2000
  std::string text;        // the scenario, one command a line
  std::vector<SoakDocument> documents;
};

SoakScenario writeScenario(uint64_t seed);

}  // namespace soak
