// A broken rule stops the machine, as a bug check stops Windows: the report
// names the rule and the call, and the process ends.
#pragma once

#include <string>

namespace nrv {

[[noreturn]] void bugCheck(const std::string& rule, const std::string& detail);

// Formats like printf, for the details of a report.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nrv
