// A process's access token, as far as programs use it here: the privileges
// it holds and which of them are enabled, and whether it is an
// administrator's. Every process runs with an administrator's token unless
// told otherwise, its privileges disabled until a program enables them
// (change-notify excepted, enabled from the start).
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>

namespace nrv {

// The LUID of a privilege by its name ("SeShutdownPrivilege", case ignored);
// nothing for a name the system does not know.
std::optional<LUID> privilegeValue(const char* name);

class AccessToken {
 public:
  AccessToken();

  bool holds(const LUID& privilege) const;
  bool enabled(const LUID& privilege) const;
  // False, changing nothing, when the token does not hold the privilege.
  bool setEnabled(const LUID& privilege, bool enabled);
  void disableAll();

  // Administration of the spooler (adding and deleting monitors) needs an administrator.
  bool administrator() const { return administrator_; }
  void setAdministrator(bool administrator) { administrator_ = administrator; }

 private:
  std::atomic<bool> administrator_{true};
  mutable std::mutex lock_;
  std::map<DWORD, bool> held_;  // by the LUID's low part; every high part is 0
};

}  // namespace nrv
