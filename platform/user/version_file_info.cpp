// version.dll: a file's version resource, read from the file's bytes in the
// machine's files as Windows reads it from the image on disk. These routines
// allocate nothing of the program's, so no fault is injected into them.
#include <windows.h>

#include <string>
#include <vector>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "user/call_checks.h"
#include "user/file_system.h"
#include "user/process.h"
#include "user/user_services.h"
#include "user/version_block.h"
#include "user/version_image.h"

namespace nrv {

namespace {

// The file's VS_VERSIONINFO; else the error: the file system's for a file that
// cannot be opened for reading (missing, or open without read sharing), the
// image reader's for one that holds none.
DWORD readVersionResource(Process& process, LPCSTR path, std::vector<uint8_t>* resource) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  if (*path == '\0') return ERROR_PATH_NOT_FOUND;
  UserServices& services = process.services();
  FileSystem& files = services.files;
  FileOpenMode mode;
  mode.read = true;
  mode.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD error = NO_ERROR;
  bool existed = false;
  FileSystem::OpenFile file = files.open(path, OPEN_EXISTING, mode, &error, &existed);
  if (file == nullptr) return error;
  std::vector<uint8_t> bytes(files.size(file));
  bytes.resize(files.read(file, 0, bytes.data(), bytes.size()));
  files.close(file, mode);
  return findVersionResource(bytes, services.profile, LANGIDFROMLCID(services.locale.lcid()), resource);
}

}  // namespace

}  // namespace nrv

extern "C" {

// The size of the block GetFileVersionInfoA fills (version_block.h); 0 with
// the last error when the file has no version resource to read.
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  nrv::Process& process = nrv::currentProcess("GetFileVersionInfoSizeA");
  if (lpdwHandle != nullptr) *lpdwHandle = 0;
  std::vector<uint8_t> resource;
  DWORD error = nrv::readVersionResource(process, lptstrFilename, &resource);
  if (error != NO_ERROR) {
    nrv::setLastError(error);
    return 0;
  }
  return static_cast<DWORD>(nrv::versionBlockSize(resource.size()));
}

// Fills the block; a buffer shorter than the size asked for gets what fits,
// and then no value can be asked of it.
BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  UNREFERENCED_PARAMETER(dwHandle);
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("GetFileVersionInfoA");
  nrv::requirePointer(lpData, "GetFileVersionInfoA", "lpData", caller);
  nrv::checkBufferFits(process, lpData, dwLen, "GetFileVersionInfoA", caller);
  std::vector<uint8_t> resource;
  DWORD error = nrv::readVersionResource(process, lptstrFilename, &resource);
  if (error != NO_ERROR) {
    nrv::setLastError(error);
    return FALSE;
  }
  nrv::fillVersionBlock(resource, static_cast<uint8_t*>(lpData), dwLen);
  return TRUE;
}

BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  static const char* const kRoutine = "VerQueryValueA";
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess(kRoutine);
  nrv::requirePointer(pBlock, kRoutine, "pBlock", caller);
  nrv::requirePointer(lpSubBlock, kRoutine, "lpSubBlock", caller);
  nrv::requirePointer(lplpBuffer, kRoutine, "lplpBuffer", caller);
  nrv::requirePointer(puLen, kRoutine, "puLen", caller);
  // The ANSI texts are written into the block, as Windows writes them.
  auto* block = static_cast<uint8_t*>(const_cast<void*>(pBlock));
  nrv::checkBufferFits(process, block, 2, kRoutine, caller);
  nrv::checkBufferFits(process, block, nrv::filledBlockSize(block), kRoutine, caller);
  void* value = nullptr;
  UINT length = 0;
  if (!nrv::queryVersionBlock(block, lpSubBlock, process.services().locale, &value, &length)) return FALSE;
  *lplpBuffer = value;
  *puLen = length;
  return TRUE;
}

}  // extern "C"
