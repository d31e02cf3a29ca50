// Pool bookkeeping for the verifier: every block with its tag, size, type, the
// call that allocated it and the driver that was running, so that frees of
// unknown blocks, overruns and leaks are caught and reported.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

struct PoolBlock {
  void* address;
  SIZE_T size;
  ULONG tag;
  POOL_TYPE type;
  const void* caller;
  PDRIVER_OBJECT driver;
};

class PoolTracker {
 public:
  PoolTracker() = default;
  PoolTracker(const PoolTracker&) = delete;
  PoolTracker& operator=(const PoolTracker&) = delete;
  ~PoolTracker();

  void* allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller, PDRIVER_OBJECT driver);
  // Frees a block and returns its size; a pointer that is not a live block, or a
  // damaged block, stops the machine.
  SIZE_T release(void* address, const void* caller, const char* service);
  // Same, and the block must carry the tag.
  SIZE_T releaseTagged(void* address, ULONG tag, const void* caller, const char* service);

  bool isLive(const void* address) const;
  // Blocks still allocated, for one driver or (null) for all.
  std::vector<PoolBlock> outstanding(PDRIVER_OBJECT driver) const;
  size_t liveCount() const;

  static std::string describe(const std::vector<PoolBlock>& blocks);

 private:
  PoolBlock take(void* address, const void* caller, const char* service);

  mutable std::mutex lock_;
  std::map<void*, PoolBlock> blocks_;
};

}  // namespace nrv
