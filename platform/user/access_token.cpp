#include "user/access_token.h"

#include <strings.h>

namespace nrv {

namespace {

struct KnownPrivilege {
  const char* name;
  DWORD luid;
  bool administratorHolds;
};

// The privileges of Windows 2000 with the LUIDs the system gives them.
constexpr KnownPrivilege kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2, false},
    {"SeAssignPrimaryTokenPrivilege", 3, false},
    {"SeLockMemoryPrivilege", 4, false},
    {"SeIncreaseQuotaPrivilege", 5, true},
    {"SeMachineAccountPrivilege", 6, false},
    {"SeTcbPrivilege", 7, false},
    {"SeSecurityPrivilege", 8, true},
    {"SeTakeOwnershipPrivilege", 9, true},
    {"SeLoadDriverPrivilege", 10, true},
    {"SeSystemProfilePrivilege", 11, true},
    {"SeSystemtimePrivilege", 12, true},
    {"SeProfileSingleProcessPrivilege", 13, true},
    {"SeIncreaseBasePriorityPrivilege", 14, true},
    {"SeCreatePagefilePrivilege", 15, true},
    {"SeCreatePermanentPrivilege", 16, false},
    {"SeBackupPrivilege", 17, true},
    {"SeRestorePrivilege", 18, true},
    {"SeShutdownPrivilege", 19, true},
    {"SeDebugPrivilege", 20, true},
    {"SeAuditPrivilege", 21, false},
    {"SeSystemEnvironmentPrivilege", 22, true},
    {"SeChangeNotifyPrivilege", 23, true},
    {"SeRemoteShutdownPrivilege", 24, true},
    {"SeUndockPrivilege", 25, true},
    {"SeSyncAgentPrivilege", 26, false},
    {"SeEnableDelegationPrivilege", 27, false},
};

constexpr DWORD kChangeNotify = 23;

}  // namespace

std::optional<LUID> privilegeValue(const char* name) {
  for (const KnownPrivilege& known : kPrivileges) {
    if (strcasecmp(known.name, name) == 0) return LUID{known.luid, 0};
  }
  return std::nullopt;
}

AccessToken::AccessToken() {
  for (const KnownPrivilege& known : kPrivileges) {
    if (known.administratorHolds) held_[known.luid] = known.luid == kChangeNotify;
  }
}

bool AccessToken::holds(const LUID& privilege) const {
  std::lock_guard<std::mutex> guard(lock_);
  return privilege.HighPart == 0 && held_.count(privilege.LowPart) != 0;
}

bool AccessToken::enabled(const LUID& privilege) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = held_.find(privilege.LowPart);
  return privilege.HighPart == 0 && found != held_.end() && found->second;
}

bool AccessToken::setEnabled(const LUID& privilege, bool enabled) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = held_.find(privilege.LowPart);
  if (privilege.HighPart != 0 || found == held_.end()) return false;
  found->second = enabled;
  return true;
}

void AccessToken::disableAll() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [luid, enabled] : held_) enabled = false;
}

}  // namespace nrv
