// advapi32: access tokens and privileges. Windows 98 has no security: each
// routine fails there with ERROR_CALL_NOT_IMPLEMENTED. On Windows 2000 a
// process's token is opened through the current process's pseudo-handle
// only; the handle goes into the process's table and CloseHandle closes it.
// AdjustTokenPrivileges succeeds even when the token lacks a privilege it
// was asked to change, and then says so with ERROR_NOT_ALL_ASSIGNED.
#include <windows.h>

#include <memory>
#include <string>

#include "base/bugcheck.h"
#include "base/text.h"
#include "user/access_token.h"
#include "user/call_checks.h"
#include "user/process.h"

namespace {

class TokenHandle : public nrv::HandleObject {
 public:
  TokenHandle(std::shared_ptr<nrv::AccessToken> token, DWORD access)
      : token_(std::move(token)), access_(access) {}
  const char* kind() const override { return "an access token"; }
  nrv::AccessToken& token() { return *token_; }
  DWORD access() const { return access_; }

 private:
  std::shared_ptr<nrv::AccessToken> token_;
  DWORD access_;
};

// The privileges a program may name in AdjustTokenPrivileges.
constexpr DWORD kKnownAttributes = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;

BOOL failed(DWORD error) {
  nrv::setLastError(error);
  return FALSE;
}

bool withoutSecurity(const char* routine) {
  return nrv::currentProcess(routine).services().profile == nrv::OsProfile::Windows98;
}

[[noreturn]] void refuse(const char* routine, const std::string& what) {
  nrv::bugCheck("NOT_IMPLEMENTED",
                nrv::format("%s: %s are not simulated by this machine", routine, what.c_str()));
}

}  // namespace

extern "C" {

WINADVAPI BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  static const char* const kRoutine = "OpenProcessToken";
  if (withoutSecurity(kRoutine)) return failed(ERROR_CALL_NOT_IMPLEMENTED);
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if (ProcessHandle != GetCurrentProcess()) return failed(ERROR_INVALID_HANDLE);
  if (TokenHandle == nullptr) return failed(ERROR_NOACCESS);
  *TokenHandle = process.addHandle(std::make_unique<::TokenHandle>(process.token(), DesiredAccess),
                                   __builtin_return_address(0));
  return TRUE;
}

WINADVAPI BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid) {
  static const char* const kRoutine = "LookupPrivilegeValueA";
  if (withoutSecurity(kRoutine)) return failed(ERROR_CALL_NOT_IMPLEMENTED);
  if (lpSystemName != nullptr && *lpSystemName != '\0')
    refuse(kRoutine, nrv::format("privileges of another system ('%s')", lpSystemName));
  if (lpName == nullptr || lpLuid == nullptr) return failed(ERROR_NOACCESS);
  std::optional<LUID> luid = nrv::privilegeValue(lpName);
  if (!luid) return failed(ERROR_NO_SUCH_PRIVILEGE);
  *lpLuid = *luid;
  return TRUE;
}

WINADVAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                            PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                            PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  static const char* const kRoutine = "AdjustTokenPrivileges";
  UNREFERENCED_PARAMETER(BufferLength);  // it sizes PreviousState only
  UNREFERENCED_PARAMETER(ReturnLength);
  if (withoutSecurity(kRoutine)) return failed(ERROR_CALL_NOT_IMPLEMENTED);
  auto* handle = nrv::currentProcess(kRoutine).object<::TokenHandle>(TokenHandle);
  if (handle == nullptr) return failed(ERROR_INVALID_HANDLE);
  if (PreviousState != nullptr) refuse(kRoutine, "the previous states of privileges (PreviousState)");
  if ((handle->access() & TOKEN_ADJUST_PRIVILEGES) == 0) return failed(ERROR_ACCESS_DENIED);
  nrv::AccessToken& token = handle->token();
  if (DisableAllPrivileges) {
    token.disableAll();
    nrv::setLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (NewState == nullptr) return failed(ERROR_INVALID_PARAMETER);
  for (DWORD index = 0; index < NewState->PrivilegeCount; index++) {
    if ((NewState->Privileges[index].Attributes & ~kKnownAttributes) != 0)
      refuse(kRoutine, nrv::format("privilege attributes 0x%x",
                                   static_cast<unsigned>(NewState->Privileges[index].Attributes)));
  }
  bool allAssigned = true;
  for (DWORD index = 0; index < NewState->PrivilegeCount; index++) {
    const LUID_AND_ATTRIBUTES& change = NewState->Privileges[index];
    if (!token.setEnabled(change.Luid, (change.Attributes & SE_PRIVILEGE_ENABLED) != 0)) allAssigned = false;
  }
  nrv::setLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

}  // extern "C"
