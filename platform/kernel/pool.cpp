#include "kernel/pool.h"

#include "machine/bugcheck.h"
#include "machine/machine.h"

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
  Machine& machine = Machine::current();
  if (machine.faults().shouldFail(FaultKind::Pool, tag)) return nullptr;
  return machine.pool().allocate(type, size, tag, caller, runningDriver());
}

void freePool(void* address, const void* caller, const char* service) {
  requireIrqlAtMost(DISPATCH_LEVEL, service);
  Machine& machine = Machine::current();
  SIZE_T size = machine.pool().release(address, caller, service);
  machine.spinLockOrder().forgetRange(address, size);
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
  nrv::Machine& machine = nrv::Machine::current();
  SIZE_T size = machine.pool().releaseTagged(P, Tag, __builtin_return_address(0), "ExFreePoolWithTag");
  machine.spinLockOrder().forgetRange(P, size);
}

}  // extern "C"
