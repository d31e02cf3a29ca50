// Low-resources simulation: makes chosen allocations fail so that every failure
// path of a driver or a program can be driven (user-mode allocations are
// LocalAlloc, VirtualAlloc, file mappings and their views; registry opens are
// a program's opens and creates of keys, which the system refuses when it is
// short of resources). Counts start when the machine starts.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace nrv {

enum class FaultKind { Pool, Irp, Mdl, UserAllocation, RegistryOpen, Count };

const char* faultKindName(FaultKind kind);

class FaultInjector {
 public:
  // The nth request of that kind (1 is the first) fails.
  void failNth(FaultKind kind, uint64_t nth);
  // Every pool allocation with this tag fails.
  void failTag(ULONG tag);
  void clear();

  // Called by each allocator: counts the request and says whether it must fail.
  bool shouldFail(FaultKind kind, ULONG tag = 0);
  uint64_t requests(FaultKind kind) const;
  uint64_t failures() const;

  // One line naming the armed faults, empty when none.
  std::string describe() const;

 private:
  mutable std::mutex lock_;
  uint64_t requests_[static_cast<int>(FaultKind::Count)] = {};
  uint64_t failNth_[static_cast<int>(FaultKind::Count)] = {};
  std::set<ULONG> failTags_;
  uint64_t failures_ = 0;
};

std::string tagText(ULONG tag);

}  // namespace nrv
