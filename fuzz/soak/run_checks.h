// What every soak run must show: nrvsim ran the whole scenario and shut down
// clean under the verifier; every print and spooler job reports the bytes
// the printer received; and no two printers plugged in at once have the
// same port name.
#pragma once

#include <string>
#include <vector>

namespace soak {

struct RunResult {
  int exitStatus = 0;  // -1 when nrvsim did not exit by itself
  std::string output;  // its JSON document
  std::string errors;  // its standard error
};

// What is wrong with the run; empty when nothing is.
std::vector<std::string> checkRun(const RunResult& run);

}  // namespace soak
