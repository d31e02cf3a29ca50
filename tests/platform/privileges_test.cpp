// Access tokens, privileges and the restart request: Windows 98 has no
// tokens and restarts for anyone; Windows 2000 restarts only for a program
// that enabled the shutdown privilege its token holds.
#include <gtest/gtest.h>
#include <windows.h>

#include "death_test.h"
#include "machine/machine.h"

namespace {

using nrv::OsProfile;

constexpr DWORD kUntouched = 0xDDDDDDDD;

class Privileges : public ::testing::Test {
 protected:
  explicit Privileges(OsProfile profile = OsProfile::Windows2000) : machine(nrv::MachineOptions{profile}) {}

  HANDLE openToken(DWORD access) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
    return token;
  }

  LUID lookUp(const char* name) {
    LUID luid{kUntouched, static_cast<LONG>(kUntouched)};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, name, &luid)) << name;
    return luid;
  }

  // AdjustTokenPrivileges with one privilege; the last error it left.
  DWORD adjust(HANDLE token, const char* name, DWORD attributes) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = lookUp(name);
    privileges.Privileges[0].Attributes = attributes;
    SetLastError(kUntouched);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    return GetLastError();
  }

  // What the clean-up routines do to restart: enable the privilege, then ask.
  BOOL enableShutdownAndRestart() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
      adjust(token, SE_SHUTDOWN_NAME, SE_PRIVILEGE_ENABLED);
      CloseHandle(token);
    }
    return ExitWindowsEx(EWX_SHUTDOWN | EWX_REBOOT, 0xFFFFFFFF);
  }

  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("uninstaller");
  nrv::ProcessScope scope{process};
};

class PrivilegesOnWindows98 : public Privileges {
 protected:
  PrivilegesOnWindows98() : Privileges(OsProfile::Windows98) {}
};

TEST_F(Privileges, RestartingNeedsTheShutdownPrivilegeEnabled) {
  SetLastError(kUntouched);
  EXPECT_FALSE(ExitWindowsEx(EWX_SHUTDOWN | EWX_REBOOT, 0xFFFFFFFF));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD)) << "held, but disabled";
  EXPECT_FALSE(machine.restartRequested());

  HANDLE token = openToken(TOKEN_ADJUST_PRIVILEGES);
  EXPECT_EQ(adjust(token, SE_SHUTDOWN_NAME, SE_PRIVILEGE_ENABLED), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(token));
  // The privilege is the process's: it stays enabled once the handle is closed.
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_TRUE(machine.restartRequested()) << "it returns at once; the restart is the machine's to carry out";

  token = openToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  EXPECT_EQ(adjust(token, "seshutdownprivilege", 0), static_cast<DWORD>(ERROR_SUCCESS))
      << "names ignore case";
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_TRUE(CloseHandle(token));
  EXPECT_FALSE(CloseHandle(token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Privileges, TheRestartStepOfTheCleanUpRoutines) {
  EXPECT_TRUE(enableShutdownAndRestart());
  EXPECT_TRUE(machine.restartRequested());
  EXPECT_EQ(process.openHandles(), 0u);
}

TEST_F(Privileges, AdjustingAsWindows2000Does) {
  HANDLE token = openToken(TOKEN_ADJUST_PRIVILEGES);
  // A privilege the token does not hold: success all the same, and a last error that says so.
  EXPECT_EQ(adjust(token, "SeTcbPrivilege", SE_PRIVILEGE_ENABLED),
            static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));

  TOKEN_PRIVILEGES* both = static_cast<TOKEN_PRIVILEGES*>(
      LocalAlloc(LPTR, sizeof(TOKEN_PRIVILEGES) + sizeof(LUID_AND_ATTRIBUTES)));
  both->PrivilegeCount = 2;
  both->Privileges[0] = {lookUp("SeTcbPrivilege"), SE_PRIVILEGE_ENABLED};
  both->Privileges[1] = {lookUp(SE_SHUTDOWN_NAME), SE_PRIVILEGE_ENABLED};
  SetLastError(kUntouched);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, both, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0)) << "the one it holds was enabled";
  LocalFree(both);

  SetLastError(kUntouched);
  EXPECT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0)) << "every privilege disabled";

  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(token));

  // Adjusting needs a handle opened for it.
  HANDLE queryOnly = openToken(TOKEN_QUERY);
  TOKEN_PRIVILEGES privileges{1, {{lookUp(SE_SHUTDOWN_NAME), SE_PRIVILEGE_ENABLED}}};
  EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &privileges, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
  EXPECT_TRUE(CloseHandle(queryOnly));
  EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &privileges, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Privileges, NamesAndHandles) {
  EXPECT_EQ(lookUp(SE_SHUTDOWN_NAME).LowPart, 19u);
  EXPECT_EQ(lookUp(SE_SHUTDOWN_NAME).HighPart, 0);
  LUID luid{kUntouched, 0};
  EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
  EXPECT_EQ(luid.LowPart, kUntouched);
  EXPECT_TRUE(LookupPrivilegeValueA("", "SeDebugPrivilege", &luid)) << "an empty name is the local system";

  HANDLE token = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_FALSE(OpenProcessToken(token, TOKEN_QUERY, &token)) << "only the current process's pseudo-handle";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TOKEN_PRIVILEGES privileges{1, {{lookUp(SE_SHUTDOWN_NAME), SE_PRIVILEGE_ENABLED}}};
  EXPECT_FALSE(AdjustTokenPrivileges(event, FALSE, &privileges, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "an event is no token";
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(PrivilegesOnWindows98, ThereAreNoTokensAndAnyoneRestarts) {
  HANDLE token = reinterpret_cast<HANDLE>(kUntouched);
  EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_EQ(token, reinterpret_cast<HANDLE>(kUntouched));
  LUID luid{};
  EXPECT_FALSE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  EXPECT_FALSE(AdjustTokenPrivileges(nullptr, TRUE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  EXPECT_FALSE(machine.restartRequested());
  EXPECT_TRUE(enableShutdownAndRestart());
  EXPECT_TRUE(machine.restartRequested());
}

using PrivilegesDeathTest = platform_test::DeathTest;

TEST_F(PrivilegesDeathTest, ATokenLeftOpenIsReportedWhenTheProgramEnds) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("installer"));
        HANDLE token = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED.*process 'installer'.*an access token\\), opened by");
}

TEST_F(PrivilegesDeathTest, EndingTheSessionOtherThanByARestartIsNotSimulated) {
  EXPECT_DEATH(
      {
        nrv::Machine machine{nrv::MachineOptions{OsProfile::Windows98}};
        nrv::ProcessScope scope(machine.startProcess("installer"));
        ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF, 0);
      },
      "STOP: NOT_IMPLEMENTED.*ExitWindowsEx: the flags 0x9 are not simulated");
}

}  // namespace
