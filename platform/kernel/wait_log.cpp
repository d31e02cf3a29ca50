#include "kernel/wait_log.h"

namespace nrv {

void WaitLog::record(PDRIVER_OBJECT driver, KWAIT_REASON reason) {
  std::lock_guard<std::mutex> guard(lock_);
  reasons_[driver].insert(reason);
}

std::set<KWAIT_REASON> WaitLog::reasonsOf(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = reasons_.find(driver);
  return found == reasons_.end() ? std::set<KWAIT_REASON>() : found->second;
}

}  // namespace nrv
