#include "kernel/copy_counter.h"

namespace nrv {

const char* copyKindName(CopyKind kind) {
  switch (kind) {
    case CopyKind::WriteIn:
      return "write data in";
    case CopyKind::ReadOut:
      return "read data out";
    case CopyKind::ControlInput:
      return "control input";
    case CopyKind::ControlOutput:
      return "control output";
  }
  return "?";
}

void CopyCounter::count(CopyKind kind, uint64_t bytes) {
  if (bytes == 0) return;
  size_t index = static_cast<size_t>(kind);
  bytes_[index].fetch_add(bytes, std::memory_order_relaxed);
  copies_[index].fetch_add(1, std::memory_order_relaxed);
}

uint64_t CopyCounter::bytes(CopyKind kind) const {
  return bytes_[static_cast<size_t>(kind)].load(std::memory_order_relaxed);
}

uint64_t CopyCounter::copies(CopyKind kind) const {
  return copies_[static_cast<size_t>(kind)].load(std::memory_order_relaxed);
}

uint64_t CopyCounter::totalBytes() const {
  uint64_t total = 0;
  for (const std::atomic<uint64_t>& count : bytes_) total += count.load(std::memory_order_relaxed);
  return total;
}

void CopyCounter::reset() {
  for (std::atomic<uint64_t>& count : bytes_) count.store(0, std::memory_order_relaxed);
  for (std::atomic<uint64_t>& count : copies_) count.store(0, std::memory_order_relaxed);
}

}  // namespace nrv
