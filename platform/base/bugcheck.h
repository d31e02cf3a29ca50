// A broken rule stops the machine, as a bug check stops Windows: the report
// names the rule and the call, and the process ends.
#pragma once

#include <functional>
#include <string>

namespace nrv {

[[noreturn]] void bugCheck(const std::string& rule, const std::string& detail);

// What the running machine adds to every report (armed faults, virtual time),
// one line each; the machine sets it while it runs and clears it (null) when it ends.
void setStopReportDetails(std::function<std::string()> details);

}  // namespace nrv
