// kernel32: local and virtual memory, tracked per module, with the same fault
// injection as pool. Fixed local blocks only: a moveable block's handle and
// lock counts are not simulated, and virtual memory is reserved and committed
// in one step, never at an address of the caller's choosing.
#include <windows.h>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "user/call_checks.h"
#include "user/process.h"

namespace nrv {

namespace {

constexpr UINT kSimulatedLocalFlags = LMEM_ZEROINIT | LMEM_NOCOMPACT | LMEM_NODISCARD;
constexpr DWORD kBaseProtections = 0xFF;  // PAGE_NOACCESS to PAGE_EXECUTE_WRITECOPY, one bit each
constexpr DWORD kProtectionModifiers = PAGE_GUARD | PAGE_NOCACHE | PAGE_WRITECOMBINE;

[[noreturn]] void refuse(const char* service, const void* caller, const std::string& what) {
  bugCheck("NOT_IMPLEMENTED", format("%s from %s: %s is not simulated by this machine", service,
                                     describeCodeAddress(caller).c_str(), what.c_str()));
}

// Memory that still holds a live critical section or a running request's
// OVERLAPPED must not go: the system would write into it afterwards.
void checkNothingLiveIn(Process& process, const UserBlock& block, const char* service, const void* caller) {
  const void* section = process.criticalSections().liveWithin(block.address, block.size);
  if (section != nullptr) {
    bugCheck("FREED_MEMORY_IN_USE",
             format("%s(%p) from %s: the block holds critical section %p, which was never "
                    "deleted",
                    service, block.address, describeCodeAddress(caller).c_str(), section));
  }
  const void* overlapped = process.overlappedInUse().within(block.address, block.size);
  if (overlapped != nullptr) {
    bugCheck("FREED_MEMORY_IN_USE",
             format("%s(%p) from %s: the block holds OVERLAPPED %p, whose request still runs", service,
                    block.address, describeCodeAddress(caller).c_str(), overlapped));
  }
  process.criticalSections().forgetWithin(block.address, block.size);
}

bool validProtection(DWORD protection) {
  DWORD base = protection & kBaseProtections;
  bool oneBase = base != 0 && (base & (base - 1)) == 0;
  bool known = (protection & ~(kBaseProtections | kProtectionModifiers)) == 0;
  bool cacheable =
      (protection & PAGE_NOCACHE) == 0 ||
      (base != PAGE_NOACCESS && (protection & PAGE_GUARD) == 0 && (protection & PAGE_WRITECOMBINE) == 0);
  return oneBase && known && cacheable;
}

}  // namespace

}  // namespace nrv

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("LocalAlloc");
  if ((uFlags & ~LMEM_VALID_FLAGS) != 0) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((uFlags & ~nrv::kSimulatedLocalFlags) != 0) {
    nrv::refuse("LocalAlloc", caller, nrv::format("flags 0x%x (only LMEM_FIXED, LMEM_ZEROINIT)", uFlags));
  }
  void* block =
      process.heap().allocate(nrv::UserBlockKind::Local, uBytes, (uFlags & LMEM_ZEROINIT) != 0, caller);
  if (block == nullptr) nrv::setLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

// NULL on success; a pointer that is no block of the process stops the
// machine, as the heap's own checks would on Windows.
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("LocalFree");
  if (hMem == nullptr) return nullptr;
  std::optional<nrv::UserBlock> block = process.heap().find(hMem);
  if (block && block->kind != nrv::UserBlockKind::Local) {
    nrv::bugCheck("INVALID_HEAP_BLOCK", nrv::format("LocalFree(%p) from %s: the block came from VirtualAlloc",
                                                    hMem, nrv::describeCodeAddress(caller).c_str()));
  }
  if (block) nrv::checkNothingLiveIn(process, *block, "LocalFree", caller);
  process.heap().release(hMem, "LocalFree", caller);
  return nullptr;
}

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("VirtualAlloc");
  bool known = (flAllocationType & ~(MEM_COMMIT | MEM_RESERVE)) == 0 && flAllocationType != 0;
  if (dwSize == 0 || !known || !nrv::validProtection(flProtect)) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((flAllocationType & MEM_COMMIT) == 0)
    nrv::refuse("VirtualAlloc", caller, "reserving without committing");
  if (lpAddress != nullptr) nrv::refuse("VirtualAlloc", caller, "an address chosen by the caller");
  if ((flProtect & ~PAGE_NOCACHE) != PAGE_READWRITE) {
    nrv::refuse("VirtualAlloc", caller,
                nrv::format("protection 0x%x (only PAGE_READWRITE, PAGE_NOCACHE)", flProtect));
  }
  void* block = process.heap().allocate(nrv::UserBlockKind::Virtual, dwSize, true, caller);
  if (block == nullptr) nrv::setLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("VirtualFree");
  if (dwFreeType == MEM_DECOMMIT) nrv::refuse("VirtualFree", caller, "decommitting without releasing");
  if (dwFreeType != MEM_RELEASE || dwSize != 0) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::optional<nrv::UserBlock> block = process.heap().find(lpAddress);
  if (!block || block->kind != nrv::UserBlockKind::Virtual) {
    nrv::setLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  nrv::checkNothingLiveIn(process, *block, "VirtualFree", caller);
  process.heap().release(lpAddress, "VirtualFree", caller);
  return TRUE;
}

}  // extern "C"
