// kernel32's file mappings on the machine's files: a mapping larger than its
// file grows the file (the new bytes read as zeros), a view covers the mapping
// from its start, and what a writable view holds goes into the file when it is
// unmapped.
#include <windows.h>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "user/call_checks.h"
#include "user/file_handle.h"
#include "user/process.h"
#include "user/user_services.h"

namespace {

// A section and a view take memory: each counts as a user-mode allocation, so
// low-resources runs see them fail, before anything of the file changes.
bool outOfMemory(nrv::Process& process) {
  if (!process.services().faults.shouldFail(nrv::FaultKind::UserAllocation)) return false;
  nrv::setLastError(ERROR_NOT_ENOUGH_MEMORY);
  return true;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  UNREFERENCED_PARAMETER(lpFileMappingAttributes);
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("CreateFileMappingA");
  if (hFile == INVALID_HANDLE_VALUE || lpName != nullptr) {
    nrv::bugCheck("NOT_IMPLEMENTED", nrv::format("CreateFileMappingA from %s: the machine maps only files, "
                                                 "without a name",
                                                 nrv::describeCodeAddress(caller).c_str()));
  }
  std::shared_ptr<nrv::FileHandle> file = process.reference<nrv::FileHandle>(hFile);
  if (file == nullptr) {
    nrv::setLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  bool writable = flProtect == PAGE_READWRITE;
  if ((!writable && flProtect != PAGE_READONLY) || !file->mode().read || (writable && !file->mode().write)) {
    nrv::setLastError(flProtect == PAGE_READONLY || writable ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
  uint64_t fileSize = file->files().size(file->file());
  if (size == 0) size = fileSize;
  if (size == 0) {
    nrv::setLastError(ERROR_FILE_INVALID);
    return nullptr;
  }
  if (outOfMemory(process)) return nullptr;
  if (size > fileSize) {
    if (!writable) {
      nrv::setLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    file->files().resize(file->file(), size);
  }
  nrv::setLastError(NO_ERROR);
  return process.addHandle(std::make_unique<nrv::FileMapping>(file, size, writable), caller);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                            DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("MapViewOfFile");
  std::shared_ptr<nrv::FileMapping> mapping = process.reference<nrv::FileMapping>(hFileMappingObject);
  if (mapping == nullptr) {
    nrv::setLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (dwFileOffsetHigh != 0 || dwFileOffsetLow != 0 ||
      (dwNumberOfBytesToMap != 0 && dwNumberOfBytesToMap != mapping->size())) {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("MapViewOfFile from %s: the machine maps a view of the whole "
                              "mapping only",
                              nrv::describeCodeAddress(caller).c_str()));
  }
  if ((dwDesiredAccess & FILE_MAP_WRITE) != 0 && !mapping->writable()) {
    nrv::setLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (outOfMemory(process)) return nullptr;
  nrv::setLastError(NO_ERROR);
  return process.mappedViews().map(mapping, caller);
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  nrv::Process& process = nrv::currentProcess("UnmapViewOfFile");
  if (!process.mappedViews().unmap(lpBaseAddress)) {
    nrv::setLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  nrv::setLastError(NO_ERROR);
  return TRUE;
}

}  // extern "C"
