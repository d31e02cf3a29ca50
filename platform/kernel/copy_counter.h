// Bytes the machine copies from one buffer into another on a request's way,
// by who copies them, so that a measurement can tell a path that hands the
// caller's buffer on (an MDL, a pointer) from one that copies it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace nrv {

// Each is a copy the I/O manager makes for buffered I/O: the data of reads and
// writes, and the buffers of METHOD_BUFFERED control codes (including those
// IoBuildDeviceIoControlRequest builds).
enum class CopyKind {
  WriteIn,        // a write's bytes into its system buffer
  ReadOut,        // a read's bytes from its system buffer back to the caller
  ControlInput,   // a control code's input into its system buffer
  ControlOutput,  // a control code's output back to the caller
};
constexpr size_t kCopyKinds = 4;
const char* copyKindName(CopyKind kind);

class CopyCounter {
 public:
  CopyCounter() = default;
  CopyCounter(const CopyCounter&) = delete;
  CopyCounter& operator=(const CopyCounter&) = delete;

  // A copy of this many bytes; copies of no bytes are not counted.
  void count(CopyKind kind, uint64_t bytes);
  uint64_t bytes(CopyKind kind) const;
  uint64_t copies(CopyKind kind) const;
  uint64_t totalBytes() const;
  void reset();

 private:
  std::array<std::atomic<uint64_t>, kCopyKinds> bytes_{};
  std::array<std::atomic<uint64_t>, kCopyKinds> copies_{};
};

}  // namespace nrv
