// kernel32 on the machine's files: opening them, reading and writing, their
// size and position, deleting and moving them (a move may wait for the next
// start on Windows 2000), and the folders Windows names.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/call_checks.h"
#include "user/file_handle.h"
#include "user/process.h"

namespace nrv {

namespace {

constexpr char16_t kSessionManager[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";

std::shared_ptr<FileHandle> fileOf(Process& process, HANDLE handle) {
  std::shared_ptr<FileHandle> file = process.reference<FileHandle>(handle);
  if (file == nullptr) setLastError(ERROR_INVALID_HANDLE);
  return file;
}

// GetSystemDirectoryA and GetWindowsDirectoryA: the length without the NUL, or
// the size needed with it when the buffer is too small.
UINT copyDirectory(const std::string& directory, LPSTR buffer, UINT size) {
  if (buffer == nullptr || size <= directory.size()) return static_cast<UINT>(directory.size() + 1);
  std::memcpy(buffer, directory.c_str(), directory.size() + 1);
  return static_cast<UINT>(directory.size());
}

// Windows 2000 keeps the moves for the next start as pairs of kernel paths: the
// file, then its new name, "!" first when it may replace a file, or nothing to delete it.
// The pairs already pending: each file, then its new name or nothing.
std::vector<std::u16string> pendingMoves(UserServices& services) {
  std::vector<std::u16string> strings;
  std::optional<RegistryValue> value = services.registry.value(kSessionManager, kPendingRenames);
  if (!value) return strings;
  std::u16string text(reinterpret_cast<const char16_t*>(value->bytes.data()), value->bytes.size() / 2);
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find(u'\0', start), text.size());
    strings.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t pairs = 0;
  while (2 * pairs + 1 < strings.size() && !strings[2 * pairs].empty()) pairs++;
  strings.resize(2 * pairs);
  return strings;
}

void recordPendingMove(UserServices& services, const std::string& from, const char* to, DWORD flags) {
  std::vector<std::u16string> operations = pendingMoves(services);
  operations.push_back(u"\\??\\" + services.locale.fromAnsi(from));
  std::u16string target;
  if (to != nullptr) {
    target =
        ((flags & MOVEFILE_REPLACE_EXISTING) != 0 ? u"!\\??\\" : u"\\??\\") + services.locale.fromAnsi(to);
  }
  operations.push_back(target);
  std::vector<uint8_t> bytes;
  for (const std::u16string& operation : operations) {
    const auto* data = reinterpret_cast<const uint8_t*>(operation.c_str());
    bytes.insert(bytes.end(), data, data + (operation.size() + 1) * 2);
  }
  bytes.insert(bytes.end(), {0, 0});
  services.registry.setValue(kSessionManager, kPendingRenames, REG_MULTI_SZ, std::move(bytes));
}

}  // namespace

HANDLE openFile(Process& process, const std::string& path, DWORD access, DWORD share, DWORD disposition,
                const void* caller) {
  FileOpenMode mode;
  mode.read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
  mode.write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
  mode.remove = (access & (DELETE | GENERIC_ALL)) != 0;
  mode.share = share & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (disposition == TRUNCATE_EXISTING && !mode.write) {
    setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  FileSystem& files = process.services().files;
  DWORD error = NO_ERROR;
  bool existed = false;
  FileSystem::OpenFile file = files.open(path, disposition, mode, &error, &existed);
  if (file == nullptr) {
    setLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = process.addHandle(std::make_unique<FileHandle>(files, file, mode, path), caller);
  bool tellsItExisted = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  setLastError(existed && tellsItExisted ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return handle;
}

BOOL readOrWriteFile(Process& process, HANDLE handle, bool read, void* buffer, DWORD length, LPDWORD count,
                     LPOVERLAPPED overlapped, const char* service, const void* caller) {
  std::shared_ptr<FileHandle> file = process.reference<FileHandle>(handle);
  if (overlapped != nullptr) {
    bugCheck("NOT_IMPLEMENTED",
             format("%s from %s on %s with an OVERLAPPED: the machine's files are read and "
                    "written synchronously",
                    service, describeCodeAddress(caller).c_str(), file->kind()));
  }
  return fileTransfer(*file, read, buffer, length, count);
}

}  // namespace nrv

extern "C" {

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  std::shared_ptr<nrv::FileHandle> file = nrv::fileOf(nrv::currentProcess("GetFileSize"), hFile);
  if (file == nullptr) return INVALID_FILE_SIZE;
  uint64_t size = file->files().size(file->file());
  if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  nrv::setLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  std::shared_ptr<nrv::FileHandle> file = nrv::fileOf(nrv::currentProcess("SetFilePointer"), hFile);
  if (file == nullptr) return INVALID_SET_FILE_POINTER;
  int64_t distance =
      lpDistanceToMoveHigh != nullptr
          ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                 static_cast<uint32_t>(lDistanceToMove))
          : lDistanceToMove;
  int64_t base = dwMoveMethod == FILE_BEGIN     ? 0
                 : dwMoveMethod == FILE_CURRENT ? static_cast<int64_t>(file->position.load())
                 : dwMoveMethod == FILE_END     ? static_cast<int64_t>(file->files().size(file->file()))
                                                : -1;
  if (base < 0) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (base + distance < 0) {
    nrv::setLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  uint64_t position = static_cast<uint64_t>(base + distance);
  file->position.store(position);
  if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  nrv::setLastError(NO_ERROR);
  return static_cast<DWORD>(position);
}

// The file ends at its position; a mapped file is not cut shorter.
BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  std::shared_ptr<nrv::FileHandle> file = nrv::fileOf(nrv::currentProcess("SetEndOfFile"), hFile);
  if (file == nullptr) return FALSE;
  if (!file->mode().write) {
    nrv::setLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  uint64_t position = file->position.load();
  if (file->files().mapped(file->file()) && position < file->files().size(file->file())) {
    nrv::setLastError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  file->files().resize(file->file(), position);
  nrv::setLastError(NO_ERROR);
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  nrv::Process& process = nrv::currentProcess("DeleteFileA");
  if (lpFileName == nullptr) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = NO_ERROR;
  bool removed = process.services().files.remove(lpFileName, &error);
  nrv::setLastError(removed ? NO_ERROR : error);
  return removed ? TRUE : FALSE;
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  nrv::Process& process = nrv::currentProcess("MoveFileExA");
  nrv::UserServices& services = process.services();
  if (lpExistingFileName == nullptr ||
      (lpNewFileName == nullptr && (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) == 0)) {
    nrv::setLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0) {
    // The Windows 95 family keeps such moves in WinInit.ini, which its programs write themselves.
    if (services.profile == nrv::OsProfile::Windows98) {
      nrv::setLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return FALSE;
    }
    nrv::recordPendingMove(services, lpExistingFileName, lpNewFileName, dwFlags);
    nrv::setLastError(NO_ERROR);
    return TRUE;
  }
  DWORD error = NO_ERROR;
  bool moved = services.files.move(lpExistingFileName, lpNewFileName,
                                   (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0, &error);
  nrv::setLastError(moved ? NO_ERROR : error);
  return moved ? TRUE : FALSE;
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
  nrv::Process& process = nrv::currentProcess("GetSystemDirectoryA");
  return nrv::copyDirectory(process.services().files.systemDirectory(), lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  nrv::Process& process = nrv::currentProcess("GetWindowsDirectoryA");
  return nrv::copyDirectory(process.services().files.windowsDirectory(), lpBuffer, uSize);
}

}  // extern "C"
