// A process's memory from LocalAlloc and VirtualAlloc, tracked as the verifier
// tracks pool: every block with its size, the module whose code allocated it
// and that call, so that leaks are reported by module, a free of something
// that is no block is caught, and a write past a block's end is found when
// the block is freed. User-mode allocations take part in fault injection.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nrv {

class FaultInjector;

enum class UserBlockKind { Local, Virtual };

struct UserBlock {
  void* address;
  size_t size;  // as the program sees it: a virtual block's size is rounded up to whole pages
  UserBlockKind kind;
  std::string module;       // the file name of the module that allocated it, "NRVUSBMN.so"
  std::string allocatedBy;  // the allocating call, named when made: its module may be gone by the report
};

class UserHeap {
 public:
  static constexpr size_t kPageSize = 4096;
  // A 32-bit process has 2 GB of address space; nothing larger is ever granted.
  static constexpr size_t kLargestBlock = 0x7FFE0000;

  explicit UserHeap(FaultInjector& faults);
  ~UserHeap();
  UserHeap(const UserHeap&) = delete;
  UserHeap& operator=(const UserHeap&) = delete;

  // Null when fault injection fails it or no 32-bit process could hold it.
  // Local blocks are filled with a pattern unless zeroed; virtual blocks are
  // always zeroed, as fresh pages are.
  void* allocate(UserBlockKind kind, size_t size, bool zeroed, const void* caller);
  // The live block that starts at address.
  std::optional<UserBlock> find(const void* address) const;
  // The live block that holds the byte at address.
  std::optional<UserBlock> containing(const void* address) const;
  // Frees a live block; one written past its end stops the machine.
  void release(void* address, const char* service, const void* caller);

  // Live blocks, of one module or (empty) of all.
  std::vector<UserBlock> outstanding(std::string_view module = {}) const;
  static std::string describe(const std::vector<UserBlock>& blocks);

 private:
  static size_t guardSize(UserBlockKind kind);

  FaultInjector& faults_;
  mutable std::mutex lock_;
  std::map<const void*, UserBlock> blocks_;
};

const char* userBlockKindName(UserBlockKind kind);

}  // namespace nrv
