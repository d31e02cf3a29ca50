// The reasons each driver gives for its waits, so that tests can hold a driver
// to the one it promises; the machine's own waits are not counted.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <set>

namespace nrv {

class WaitLog {
 public:
  void record(PDRIVER_OBJECT driver, KWAIT_REASON reason);
  std::set<KWAIT_REASON> reasonsOf(PDRIVER_OBJECT driver);

 private:
  std::mutex lock_;
  std::map<PDRIVER_OBJECT, std::set<KWAIT_REASON>> reasons_;
};

}  // namespace nrv
