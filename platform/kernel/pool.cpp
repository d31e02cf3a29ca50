#include "kernel/pool.h"

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/pool_tracker.h"
#include "kernel/spin_locks.h"

namespace nrv {

namespace {
constexpr ULONG kUntaggedPool = 0x656E6F4E;  // "None", as for ExAllocatePool

PDRIVER_OBJECT runningDriver() {
  ThreadRecord* thread = currentThreadOrNull();
  return thread == nullptr || thread->driverCalls.empty() ? nullptr : thread->driverCalls.back();
}
}  // namespace

void* allocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller, const char* service) {
  if (type != NonPagedPool && type != PagedPool && type != NonPagedPoolCacheAligned &&
      type != PagedPoolCacheAligned) {
    bugCheck("BAD_POOL_CALLER", format("%s: pool type %d is not simulated by this machine", service, type));
  }
  bool paged = (type & 1) != 0;
  requireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, paged ? "a paged pool allocation" : service);
  nrv::KernelParts& kernel = nrv::currentKernel();
  if (kernel.faults.shouldFail(FaultKind::Pool, tag)) return nullptr;
  return kernel.pool.allocate(type, size, tag, caller, runningDriver());
}

void freePool(void* address, const void* caller, const char* service) {
  requireIrqlAtMost(DISPATCH_LEVEL, service);
  nrv::KernelParts& kernel = nrv::currentKernel();
  SIZE_T size = kernel.pool.release(address, caller, service);
  kernel.spinLockOrder.forgetRange(address, size);
}

}  // namespace nrv

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return nrv::allocatePool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return nrv::allocatePool(PoolType, NumberOfBytes, nrv::kUntaggedPool, __builtin_return_address(0),
                           "ExAllocatePool");
}

VOID NTAPI ExFreePool(PVOID P) { nrv::freePool(P, __builtin_return_address(0), "ExFreePool"); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
  nrv::KernelParts& kernel = nrv::currentKernel();
  SIZE_T size = kernel.pool.releaseTagged(P, Tag, __builtin_return_address(0), "ExFreePoolWithTag");
  kernel.spinLockOrder.forgetRange(P, size);
}

}  // extern "C"
