#include "kernel/spin_locks.h"

#include <sched.h>

#include <algorithm>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"

namespace nrv {

namespace {

ULONG_PTR ownerMark(const ThreadRecord& thread) { return reinterpret_cast<ULONG_PTR>(&thread) | 1; }

const ThreadRecord* ownerOf(ULONG_PTR value) {
  return (value & 1) ? reinterpret_cast<const ThreadRecord*>(value & ~ULONG_PTR(1)) : nullptr;
}

// A thread spinning on a lock whose owner spins on a lock this thread holds will
// spin for ever: report the cycle.
void checkSpinCycle(const ThreadRecord& self, PKSPIN_LOCK wanted, const void* caller) {
  const ThreadRecord* owner = ownerOf(__atomic_load_n(wanted, __ATOMIC_ACQUIRE));
  if (owner == nullptr) return;
  PKSPIN_LOCK ownerWants = owner->spinningOn.load();
  if (ownerWants == nullptr) return;
  if (std::find(self.heldSpinLocks.begin(), self.heldSpinLocks.end(), ownerWants) != self.heldSpinLocks.end()) {
    bugCheck("DEADLOCK", format("%s on thread '%s' spins on lock %p held by thread '%s', which spins on lock "
                                "%p held by the first",
                                describeCodeAddress(caller).c_str(), self.name.c_str(), static_cast<void*>(wanted),
                                owner->name.c_str(), static_cast<void*>(ownerWants)));
  }
}

KIRQL acquire(PKSPIN_LOCK lock, const char* service, const void* caller) {
  ThreadRecord& thread = currentThread(service);
  requireIrqlAtMost(DISPATCH_LEVEL, service);
  if (std::find(thread.heldSpinLocks.begin(), thread.heldSpinLocks.end(), lock) != thread.heldSpinLocks.end()) {
    bugCheck("SPIN_LOCK_ALREADY_OWNED", format("%s from %s: spin lock %p is already held by this thread", service,
                                               describeCodeAddress(caller).c_str(), static_cast<void*>(lock)));
  }
  nrv::currentKernel().spinLockOrder.learn(thread, lock, caller);
  KIRQL previous = thread.irql;
  thread.irql = DISPATCH_LEVEL;
  ULONG_PTR free = 0;
  thread.spinningOn.store(lock);
  for (unsigned spins = 0; !__atomic_compare_exchange_n(lock, &free, ownerMark(thread), false, __ATOMIC_ACQUIRE,
                                                         __ATOMIC_RELAXED);
       spins++) {
    free = 0;
    if (spins % 1024 == 1023) checkSpinCycle(thread, lock, caller);
    sched_yield();
  }
  thread.spinningOn.store(nullptr);
  thread.heldSpinLocks.push_back(lock);
  return previous;
}

void release(PKSPIN_LOCK lock, KIRQL newIrql, const char* service, const void* caller) {
  ThreadRecord& thread = currentThread(service);
  auto held = std::find(thread.heldSpinLocks.begin(), thread.heldSpinLocks.end(), lock);
  if (held == thread.heldSpinLocks.end() || __atomic_load_n(lock, __ATOMIC_RELAXED) != ownerMark(thread)) {
    bugCheck("SPIN_LOCK_NOT_OWNED", format("%s from %s: spin lock %p is not held by this thread", service,
                                           describeCodeAddress(caller).c_str(), static_cast<void*>(lock)));
  }
  if (newIrql > thread.irql) {
    bugCheck("IRQL_NOT_GREATER_OR_EQUAL", format("%s from %s would raise the IRQL from %s to %s", service,
                                                 describeCodeAddress(caller).c_str(), irqlName(thread.irql),
                                                 irqlName(newIrql)));
  }
  thread.heldSpinLocks.erase(held);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  thread.irql = newIrql;
}

}  // namespace

void SpinLockOrder::learn(const ThreadRecord& thread, PKSPIN_LOCK taken, const void* caller) {
  std::lock_guard<std::mutex> guard(lock_);
  for (PKSPIN_LOCK held : thread.heldSpinLocks) {
    if (heldThenTaken_.count({taken, held}) != 0) {
      bugCheck("SPIN_LOCK_ORDER", format("%s takes spin lock %p while holding %p, but %p has been taken while "
                                         "holding %p before: the two orders can deadlock",
                                         describeCodeAddress(caller).c_str(), static_cast<void*>(taken),
                                         static_cast<void*>(held), static_cast<void*>(held),
                                         static_cast<void*>(taken)));
    }
    heldThenTaken_.insert({held, taken});
  }
}

void SpinLockOrder::forgetRange(const void* start, size_t size) {
  auto begin = reinterpret_cast<uintptr_t>(start);
  auto inside = [&](PKSPIN_LOCK lock) {
    auto address = reinterpret_cast<uintptr_t>(lock);
    return address >= begin && address < begin + size;
  };
  std::lock_guard<std::mutex> guard(lock_);
  for (auto pair = heldThenTaken_.begin(); pair != heldThenTaken_.end();) {
    pair = (inside(pair->first) || inside(pair->second)) ? heldThenTaken_.erase(pair) : std::next(pair);
  }
}

}  // namespace nrv

extern "C" {

// A lock at a reused address starts without the order its predecessor learned.
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  *SpinLock = 0;
  if (nrv::KernelParts* kernel = nrv::currentKernelOrNull()) {
    kernel->spinLockOrder.forgetRange(SpinLock, sizeof(*SpinLock));
  }
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  return nrv::acquire(SpinLock, "KeAcquireSpinLock", __builtin_return_address(0));
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  nrv::release(SpinLock, NewIrql, "KeReleaseSpinLock", __builtin_return_address(0));
}

KIRQL NTAPI KeGetCurrentIrql(VOID) { return nrv::currentThread("KeGetCurrentIrql").irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  nrv::ThreadRecord& thread = nrv::currentThread("KeRaiseIrql");
  if (NewIrql < thread.irql) {
    nrv::bugCheck("IRQL_NOT_GREATER_OR_EQUAL", nrv::format("KeRaiseIrql from %s to the lower %s",
                                                           nrv::irqlName(thread.irql), nrv::irqlName(NewIrql)));
  }
  KIRQL previous = thread.irql;
  thread.irql = NewIrql;
  return previous;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  nrv::ThreadRecord& thread = nrv::currentThread("KeLowerIrql");
  if (NewIrql > thread.irql) {
    nrv::bugCheck("IRQL_NOT_LESS_OR_EQUAL", nrv::format("KeLowerIrql from %s to the higher %s",
                                                        nrv::irqlName(thread.irql), nrv::irqlName(NewIrql)));
  }
  if (!thread.heldSpinLocks.empty() && NewIrql < DISPATCH_LEVEL) {
    nrv::bugCheck("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql below DISPATCH_LEVEL while holding a spin lock");
  }
  thread.irql = NewIrql;
}

}  // extern "C"
