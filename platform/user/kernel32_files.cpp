// kernel32: opening devices by their interface paths and files by their paths, and closing handles.
#include <windows.h>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/device_interfaces.h"
#include "kernel/io_entry.h"
#include "user/call_checks.h"
#include "user/device_file.h"
#include "user/file_handle.h"
#include "user/process.h"
#include "user/status_to_error.h"

namespace nrv {

namespace {

// "\\?\" and "\\.\" name objects of the system's namespace, as "\??\" does in
// the kernel; behind them a drive ("\\?\C:\...") or "UNC\" still names a file.
bool isDevicePath(const std::string& path) {
  if (path.size() <= 4 || path[0] != '\\' || path[1] != '\\' || (path[2] != '?' && path[2] != '.') ||
      path[3] != '\\') {
    return false;
  }
  std::string rest = path.substr(4);
  bool drive = rest.size() >= 2 && rest[1] == ':';
  bool unc = rest.size() >= 4 && (rest[0] | 0x20) == 'u' && (rest[1] | 0x20) == 'n' &&
             (rest[2] | 0x20) == 'c' && rest[3] == '\\';
  return !drive && !unc;
}

HANDLE failOpen(DWORD error) {
  setLastError(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

}  // namespace nrv

extern "C" {

// A device path opens the device: of the creation dispositions a device
// ignores all but their validity, as drivers do, and the path after the
// interface's link name reaches the driver as the file name. Any other path
// names one of the machine's files.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  UNREFERENCED_PARAMETER(lpSecurityAttributes);
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("CreateFileA");
  nrv::UserServices& services = process.services();
  if (lpFileName == nullptr || *lpFileName == '\0') return nrv::failOpen(ERROR_PATH_NOT_FOUND);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return nrv::failOpen(ERROR_INVALID_PARAMETER);
  }
  // Windows 95 and 98 take no template file.
  if (hTemplateFile != nullptr && services.profile == nrv::OsProfile::Windows98) {
    return nrv::failOpen(ERROR_NOT_SUPPORTED);
  }
  std::string path = lpFileName;
  if (!nrv::isDevicePath(path))
    return nrv::openFile(process, path, dwDesiredAccess, dwShareMode, dwCreationDisposition, caller);
  std::u16string kernelPath = u"\\??\\" + services.locale.fromAnsi(path.substr(4));
  std::optional<std::u16string> link = services.interfaces.enabledLinkOf(kernelPath);
  if (!link) return nrv::failOpen(ERROR_FILE_NOT_FOUND);
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = services.io.open(*link, kernelPath.substr(link->size()), &file);
  if (!NT_SUCCESS(status)) return nrv::failOpen(nrv::win32ErrorOf(status));
  bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  return process.addHandle(
      std::make_unique<nrv::DeviceFile>(services.io, services.threads, file, path, overlapped), caller);
}

// Any handle of the table closes here, as NtClose closes it.
BOOL WINAPI CloseHandle(HANDLE hObject) {
  nrv::Process& process = nrv::currentProcess("CloseHandle");
  std::shared_ptr<nrv::HandleObject> object = process.removeHandle(hObject);
  if (object == nullptr) {
    nrv::setLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->close();
  return TRUE;
}

}  // extern "C"
