#include "kernel/current_kernel.h"

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/scheduler.h"
#include "base/text.h"

namespace nrv {

namespace {
KernelParts* current = nullptr;

// Every stop report says which faults were armed and when, in virtual time, it happened.
std::string stopReportDetails(const KernelParts& kernel) {
  std::string details;
  std::string faults = kernel.faults.describe();
  if (!faults.empty()) details += "    fault injection: " + faults + "\n";
  details += format("    virtual time: %llu ms\n",
                    static_cast<unsigned long long>(kernel.scheduler.nowMilliseconds()));
  return details;
}
}  // namespace

KernelParts& currentKernel() {
  if (current == nullptr) bugCheck("NO_MACHINE", "a kernel service was called while no machine runs");
  return *current;
}

KernelParts* currentKernelOrNull() { return current; }

CurrentKernel::CurrentKernel(KernelParts& parts) {
  if (current != nullptr) {
    bugCheck("MACHINE_ALREADY_RUNNING",
             "a second machine was started while another one runs in this process");
  }
  current = &parts;
  setStopReportDetails([&parts] { return stopReportDetails(parts); });
}

CurrentKernel::~CurrentKernel() {
  setStopReportDetails(nullptr);
  current = nullptr;
}

}  // namespace nrv
