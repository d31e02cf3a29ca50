// Memory descriptor lists. Host memory needs no locking or mapping, so an MDL
// here records the range it describes; the verifier's interest is in their
// life (freed once, freed at all) and in partial MDLs staying inside their source.
#include <wdm.h>

#include <cstdlib>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/mdl_tracker.h"

namespace nrv {

MdlTracker::~MdlTracker() {
  for (auto& [mdl, record] : records_) std::free(mdl);
}

void describeRange(PMDL mdl, PVOID address, ULONG length) {
  mdl->StartVa = PAGE_ALIGN(address);
  mdl->ByteOffset = BYTE_OFFSET(address);
  mdl->ByteCount = length;
  mdl->MappedSystemVa = address;
}

PMDL MdlTracker::allocate(PVOID address, ULONG length, const void* caller, const char* owner) {
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length);
  size_t size = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto* mdl = static_cast<PMDL>(std::calloc(1, size));
  if (mdl == nullptr) return nullptr;
  mdl->Size = static_cast<CSHORT>(size);
  describeRange(mdl, address, length);
  std::lock_guard<std::mutex> guard(lock_);
  records_[mdl] = Record{pages, caller, owner};
  return mdl;
}

ULONG MdlTracker::capacity(PMDL mdl, const char* service, const void* caller) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = records_.find(mdl);
  if (found == records_.end() || found->second.freed) {
    bugCheck("INVALID_MDL", format("%s(%p) from %s: %s", service, static_cast<void*>(mdl),
                                   describeCodeAddress(caller).c_str(),
                                   found == records_.end() ? "not an MDL of this machine" : "the MDL was freed"));
  }
  return found->second.pages;
}

void MdlTracker::release(PMDL mdl, const char* service, const void* caller) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = records_.find(mdl);
  if (found == records_.end()) {
    bugCheck("INVALID_MDL", format("%s(%p) from %s: not an MDL of this machine", service, static_cast<void*>(mdl),
                                   describeCodeAddress(caller).c_str()));
  }
  if (found->second.freed) {
    bugCheck("MDL_FREED_TWICE", format("%s(%p) from %s: the MDL was already freed", service,
                                       static_cast<void*>(mdl), describeCodeAddress(caller).c_str()));
  }
  found->second.freed = true;
  quarantine_.push_back(mdl);
  if (quarantine_.size() > kQuarantine) {
    PMDL oldest = quarantine_.front();
    quarantine_.pop_front();
    records_.erase(oldest);
    std::free(oldest);
  }
}

size_t MdlTracker::quarantined() {
  std::lock_guard<std::mutex> guard(lock_);
  return quarantine_.size();
}

std::string MdlTracker::describeOutstanding() {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (const auto& [mdl, record] : records_) {
    if (record.freed) continue;
    text += format("      MDL %p for %lu bytes at %p, from %s (%s frees it)\n", static_cast<void*>(mdl),
                   static_cast<unsigned long>(mdl->ByteCount), MmGetMdlVirtualAddress(mdl),
                   describeCodeAddress(record.allocatedBy).c_str(), record.owner);
  }
  return text;
}

}  // namespace nrv

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  nrv::KernelParts& kernel = nrv::currentKernel();
  if (kernel.faults.shouldFail(nrv::FaultKind::Mdl)) return nullptr;
  PMDL mdl = kernel.mdls.allocate(VirtualAddress, Length, __builtin_return_address(0), "IoFreeMdl");
  if (mdl == nullptr || Irp == nullptr) return mdl;
  if (!SecondaryBuffer) {
    Irp->MdlAddress = mdl;
  } else {
    PMDL* link = &Irp->MdlAddress;
    while (*link != nullptr) link = &(*link)->Next;
    *link = mdl;
  }
  return mdl;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  const void* caller = __builtin_return_address(0);
  nrv::MdlTracker& mdls = nrv::currentKernel().mdls;
  mdls.capacity(SourceMdl, "IoBuildPartialMdl", caller);
  ULONG pages = mdls.capacity(TargetMdl, "IoBuildPartialMdl", caller);
  auto* start = static_cast<PCHAR>(MmGetMdlVirtualAddress(SourceMdl));
  PCHAR end = start + SourceMdl->ByteCount;
  auto* from = static_cast<PCHAR>(VirtualAddress);
  if (from < start || from > end) {
    nrv::bugCheck("INVALID_PARTIAL_MDL",
                  nrv::format("IoBuildPartialMdl from %s: address %p lies outside source MDL %p (%p, %lu bytes)",
                              nrv::describeCodeAddress(caller).c_str(), VirtualAddress,
                              static_cast<void*>(SourceMdl), static_cast<void*>(start),
                              static_cast<unsigned long>(SourceMdl->ByteCount)));
  }
  // A length of 0 takes the rest of the source.
  if (Length == 0) Length = static_cast<ULONG>(end - from);
  if (Length > static_cast<ULONG>(end - from)) {
    nrv::bugCheck("INVALID_PARTIAL_MDL",
                  nrv::format("IoBuildPartialMdl from %s: %lu bytes at %p run past the end of source MDL %p (%p, "
                              "%lu bytes)",
                              nrv::describeCodeAddress(caller).c_str(), static_cast<unsigned long>(Length),
                              VirtualAddress, static_cast<void*>(SourceMdl), static_cast<void*>(start),
                              static_cast<unsigned long>(SourceMdl->ByteCount)));
  }
  if (ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length) > pages) {
    nrv::bugCheck("INVALID_PARTIAL_MDL",
                  nrv::format("IoBuildPartialMdl from %s: target MDL %p has room for %lu page(s), the range needs %lu",
                              nrv::describeCodeAddress(caller).c_str(), static_cast<void*>(TargetMdl),
                              static_cast<unsigned long>(pages),
                              static_cast<unsigned long>(ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length))));
  }
  if (TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    // The earlier range's system mapping would leak, and the address would describe the wrong bytes.
    nrv::bugCheck("MAPPED_MDL_REBUILT",
                  nrv::format("IoBuildPartialMdl from %s: target MDL %p is still mapped to system space from its "
                              "earlier range; call MmPrepareMdlForReuse before building it again",
                              nrv::describeCodeAddress(caller).c_str(), static_cast<void*>(TargetMdl)));
  }
  nrv::describeRange(TargetMdl, VirtualAddress, Length);
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags = static_cast<CSHORT>(MDL_PARTIAL | (SourceMdl->MdlFlags & MDL_IO_PAGE_READ));
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
  nrv::currentKernel().mdls.release(Mdl, "IoFreeMdl", __builtin_return_address(0));
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, ULONG CacheType,
                                         PVOID RequestedAddress, ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(RequestedAddress);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  UNREFERENCED_PARAMETER(Priority);
  if (AccessMode != KernelMode) {
    nrv::bugCheck("NOT_IMPLEMENTED", "MmMapLockedPagesSpecifyCache into user mode is not simulated by this machine");
  }
  nrv::currentKernel().mdls.capacity(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache",
                                     __builtin_return_address(0));
  // Host memory is always addressable: the system address is the described one.
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  if (MemoryDescriptorList->MdlFlags & MDL_PARTIAL) MemoryDescriptorList->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  return MemoryDescriptorList->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  const void* caller = __builtin_return_address(0);
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
  nrv::currentKernel().mdls.capacity(MemoryDescriptorList, "MmUnmapLockedPages", caller);
  if ((MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 ||
      BaseAddress != MemoryDescriptorList->MappedSystemVa) {
    nrv::bugCheck("INVALID_MDL", nrv::format("MmUnmapLockedPages(%p, %p) from %s: the MDL is not mapped at that "
                                             "address",
                                             BaseAddress, static_cast<void*>(MemoryDescriptorList),
                                             nrv::describeCodeAddress(caller).c_str()));
  }
  MemoryDescriptorList->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

}  // extern "C"
