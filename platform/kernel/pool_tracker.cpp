#include "kernel/pool_tracker.h"

#include <cstdlib>
#include <cstring>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"

namespace nrv {

namespace {
// Bytes after every block; a write past the end changes them.
constexpr size_t kGuardSize = 16;
constexpr unsigned char kGuardByte = 0xFD;
// Fresh blocks are filled so that code relying on zeroed pool shows up.
constexpr unsigned char kFreshByte = 0xCD;

const char* poolTypeName(POOL_TYPE type) { return (type & 1) ? "paged" : "non-paged"; }
}  // namespace

PoolTracker::~PoolTracker() {
  for (auto& [address, block] : blocks_) std::free(address);
}

void* PoolTracker::allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller,
                            PDRIVER_OBJECT driver) {
  auto* memory = static_cast<unsigned char*>(std::malloc(size + kGuardSize));
  if (memory == nullptr) return nullptr;
  std::memset(memory, kFreshByte, size);
  std::memset(memory + size, kGuardByte, kGuardSize);
  std::lock_guard<std::mutex> guard(lock_);
  blocks_[memory] = PoolBlock{memory, size, tag, type, caller, driver};
  return memory;
}

PoolBlock PoolTracker::take(void* address, const void* caller, const char* service) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = blocks_.find(address);
  if (found == blocks_.end()) {
    bugCheck("BAD_POOL_CALLER",
             format("%s(%p) from %s: the address is not an allocated pool block (freed twice, "
                    "or never allocated)",
                    service, address, describeCodeAddress(caller).c_str()));
  }
  PoolBlock block = found->second;
  blocks_.erase(found);
  return block;
}

SIZE_T PoolTracker::release(void* address, const void* caller, const char* service) {
  PoolBlock block = take(address, caller, service);
  auto* bytes = static_cast<unsigned char*>(address);
  for (size_t index = 0; index < kGuardSize; index++) {
    if (bytes[block.size + index] != kGuardByte) {
      bugCheck("DRIVER_CORRUPTED_POOL",
               format("%s from %s: the %zu-byte block tagged '%s' allocated by %s was written past its end",
                      service, describeCodeAddress(caller).c_str(), static_cast<size_t>(block.size),
                      tagText(block.tag).c_str(), describeCodeAddress(block.caller).c_str()));
    }
  }
  std::free(address);
  return block.size;
}

SIZE_T PoolTracker::releaseTagged(void* address, ULONG tag, const void* caller, const char* service) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = blocks_.find(address);
    if (found != blocks_.end() && found->second.tag != tag) {
      bugCheck("BAD_POOL_CALLER", format("%s from %s: the block carries tag '%s', the caller named '%s'",
                                         service, describeCodeAddress(caller).c_str(),
                                         tagText(found->second.tag).c_str(), tagText(tag).c_str()));
    }
  }
  return release(address, caller, service);
}

bool PoolTracker::isLive(const void* address) const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocks_.count(const_cast<void*>(address)) != 0;
}

std::vector<PoolBlock> PoolTracker::outstanding(PDRIVER_OBJECT driver) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<PoolBlock> result;
  for (const auto& [address, block] : blocks_) {
    if (driver == nullptr || block.driver == driver) result.push_back(block);
  }
  return result;
}

size_t PoolTracker::liveCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocks_.size();
}

std::string PoolTracker::describe(const std::vector<PoolBlock>& blocks) {
  std::string text;
  for (const PoolBlock& block : blocks) {
    text += format("      %zu bytes of %s pool tagged '%s' at %p, allocated by %s\n",
                   static_cast<size_t>(block.size), poolTypeName(block.type), tagText(block.tag).c_str(),
                   block.address, describeCodeAddress(block.caller).c_str());
  }
  return text;
}

}  // namespace nrv
