// Every MDL on the machine, for the verifier: who allocated it, so that a
// double free, a free of something that is no MDL and an MDL left at shutdown
// are caught and named.
#pragma once

#include <wdm.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace nrv {

class MdlTracker {
 public:
  MdlTracker() = default;
  MdlTracker(const MdlTracker&) = delete;
  MdlTracker& operator=(const MdlTracker&) = delete;
  ~MdlTracker();

  // An MDL able to describe length bytes at address, already describing them.
  // owner names who frees it ("IoAllocateMdl", "the I/O manager").
  PMDL allocate(PVOID address, ULONG length, const void* caller, const char* owner);
  void release(PMDL mdl, const char* service, const void* caller);
  // How many pages the MDL was allocated to describe; stops the machine on an unknown MDL.
  ULONG capacity(PMDL mdl, const char* service, const void* caller);

  std::string describeOutstanding();

  // Freed MDLs stay reserved, so that a late free is recognised; the oldest go
  // once this many are kept, so a long run does not grow for ever.
  static constexpr size_t kQuarantine = 4096;
  size_t quarantined();

 private:
  struct Record {
    ULONG pages;
    const void* allocatedBy;
    const char* owner;
    bool freed = false;
  };
  std::mutex lock_;
  std::map<PMDL, Record> records_;
  std::deque<PMDL> quarantine_;
};

// Points an MDL at a range of host memory, as building it from locked pages does.
void describeRange(PMDL mdl, PVOID address, ULONG length);

}  // namespace nrv
