#include "base/bugcheck.h"

#include <cstdio>
#include <cstdlib>

namespace nrv {

namespace {
std::function<std::string()> reportDetails;
}  // namespace

void setStopReportDetails(std::function<std::string()> details) { reportDetails = std::move(details); }

void bugCheck(const std::string& rule, const std::string& detail) {
  std::fprintf(stderr, "\n*** STOP: %s\n    %s\n", rule.c_str(), detail.c_str());
  if (reportDetails) std::fputs(reportDetails().c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace nrv
