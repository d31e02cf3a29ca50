// Spin locks and IRQL. Besides raising and restoring the IRQL, the machine
// learns the order in which locks are taken, as lockdep does, and stops on the
// first inversion instead of waiting for the deadlock it would one day cause.
#pragma once

#include <wdm.h>

#include <mutex>
#include <set>
#include <utility>

namespace nrv {

struct ThreadRecord;

// The orders in which spin locks have been taken on this machine.
class SpinLockOrder {
 public:
  // Records that the thread takes this lock over the ones it holds; an order
  // that contradicts one seen before stops the machine.
  void learn(const ThreadRecord& thread, PKSPIN_LOCK taken, const void* caller);
  // Forgets locks inside [start, start + size), as the memory holding them is freed.
  void forgetRange(const void* start, size_t size);

 private:
  std::mutex lock_;
  std::set<std::pair<PKSPIN_LOCK, PKSPIN_LOCK>> heldThenTaken_;
};

}  // namespace nrv
