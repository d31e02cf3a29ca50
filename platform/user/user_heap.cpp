#include "user/user_heap.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"

namespace nrv {

namespace {

constexpr unsigned char kGuardByte = 0xFD;
// Fresh local blocks are filled so that code relying on zeroed memory without
// LMEM_ZEROINIT shows up.
constexpr unsigned char kFreshByte = 0xCD;

std::string moduleOf(const void* caller) {
  Dl_info info{};
  if (dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return "?";
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

const char* userBlockKindName(UserBlockKind kind) {
  return kind == UserBlockKind::Local ? "LocalAlloc" : "VirtualAlloc";
}

UserHeap::UserHeap(FaultInjector& faults) : faults_(faults) {}

UserHeap::~UserHeap() {
  for (auto& [address, block] : blocks_) std::free(block.address);
}

// Local blocks carry a few guard bytes; a virtual block is followed by a guard
// page, where Windows would have no page at all.
size_t UserHeap::guardSize(UserBlockKind kind) { return kind == UserBlockKind::Local ? 16 : kPageSize; }

void* UserHeap::allocate(UserBlockKind kind, size_t size, bool zeroed, const void* caller) {
  if (faults_.shouldFail(FaultKind::UserAllocation)) return nullptr;
  if (size > kLargestBlock) return nullptr;
  if (kind == UserBlockKind::Virtual) size = (size + kPageSize - 1) / kPageSize * kPageSize;
  size_t total = size + guardSize(kind);
  auto* memory = static_cast<unsigned char*>(
      kind == UserBlockKind::Local ? std::malloc(total) : std::aligned_alloc(kPageSize, total));
  if (memory == nullptr) return nullptr;
  std::memset(memory, zeroed || kind == UserBlockKind::Virtual ? 0 : kFreshByte, size);
  std::memset(memory + size, kGuardByte, guardSize(kind));
  UserBlock block{memory, size, kind, moduleOf(caller), describeCodeAddress(caller)};
  std::lock_guard<std::mutex> guard(lock_);
  blocks_.emplace(memory, std::move(block));
  return memory;
}

std::optional<UserBlock> UserHeap::find(const void* address) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = blocks_.find(address);
  if (found == blocks_.end()) return std::nullopt;
  return found->second;
}

std::optional<UserBlock> UserHeap::containing(const void* address) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto after = blocks_.upper_bound(address);
  if (after == blocks_.begin()) return std::nullopt;
  const UserBlock& block = std::prev(after)->second;
  auto* start = static_cast<const unsigned char*>(block.address);
  if (static_cast<const unsigned char*>(address) >= start + block.size) return std::nullopt;
  return block;
}

void UserHeap::release(void* address, const char* service, const void* caller) {
  UserBlock block;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = blocks_.find(address);
    if (found == blocks_.end()) {
      bugCheck("INVALID_HEAP_BLOCK", format("%s(%p) from %s: the address is not a live block of this process "
                                            "(freed already, or never allocated)",
                                            service, address, describeCodeAddress(caller).c_str()));
    }
    block = std::move(found->second);
    blocks_.erase(found);
  }
  auto* bytes = static_cast<unsigned char*>(address);
  for (size_t index = 0; index < guardSize(block.kind); index++) {
    if (bytes[block.size + index] != kGuardByte) {
      bugCheck("HEAP_BLOCK_OVERRUN",
               format("%s from %s: the %zu-byte block from %s by %s was written past its end", service,
                      describeCodeAddress(caller).c_str(), block.size, userBlockKindName(block.kind),
                      block.allocatedBy.c_str()));
    }
  }
  std::free(address);
}

std::vector<UserBlock> UserHeap::outstanding(std::string_view module) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<UserBlock> result;
  for (const auto& [address, block] : blocks_) {
    if (module.empty() || block.module == module) result.push_back(block);
  }
  return result;
}

std::string UserHeap::describe(const std::vector<UserBlock>& blocks) {
  std::string text;
  for (const UserBlock& block : blocks) {
    text += format("      %zu bytes from %s at %p, allocated by %s\n", block.size,
                   userBlockKindName(block.kind), block.address, block.allocatedBy.c_str());
  }
  return text;
}

}  // namespace nrv
