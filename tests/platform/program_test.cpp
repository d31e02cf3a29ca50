// Programs run as processes: WinMain on a thread of a process named after the
// file, its file in use while it runs, its exit code, the refusals of files
// that are no program, and the Windows version a program is told.
#include <gtest/gtest.h>

#include "death_test.h"
#include "machine/machine.h"

namespace {

using ProgramDeathTest = platform_test::DeathTest;

constexpr char kProgram[] = "C:\\TESTPROG.EXE";

TEST(Program, RunsWinMainAsAProcessAndReturnsItsExitCode) {
  nrv::Machine machine;
  ASSERT_TRUE(machine.files().putModuleFile(kProgram, TEST_PROGRAM_MODULE));
  machine.messageBoxes().script({IDYES});
  nrv::ProgramRun run = machine.runProgram(kProgram);
  ASSERT_TRUE(run.ran) << run.failure;
  EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_SUCCESS));
  // IDYES, and its own file could not be deleted while it ran.
  EXPECT_EQ(run.exitCode, 6000u + ERROR_ACCESS_DENIED);
  std::vector<nrv::MessageBoxRecord> shown = machine.messageBoxes().shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].process, "TESTPROG.EXE");
  EXPECT_EQ(shown[0].text, "Test program") << "read from its own string table through its instance handle";
  EXPECT_GE(machine.scheduler().nowMilliseconds(), 5000u) << "its Sleep passed in virtual time";
  DWORD error = 0;
  EXPECT_TRUE(machine.files().remove(kProgram, &error)) << "no longer in use: " << error;
}

TEST(Program, RunsAgainAfterItEnded) {
  nrv::Machine machine(nrv::MachineOptions{nrv::OsProfile::Windows98});
  ASSERT_TRUE(machine.files().putModuleFile(kProgram, TEST_PROGRAM_MODULE));
  machine.messageBoxes().script({IDNO, IDYES});
  EXPECT_EQ(machine.runProgram(kProgram).exitCode, 7000u + ERROR_ACCESS_DENIED);
  EXPECT_EQ(machine.runProgram(kProgram).exitCode, 6000u + ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine.messageBoxes().unused().empty());
}

TEST(Program, FilesThatAreNoProgramAreRefusedAsCreateProcessRefusesThem) {
  nrv::Machine machine;
  machine.files().putFile("C:\\README.TXT", {'h', 'i'});
  ASSERT_TRUE(machine.files().putModuleFile("C:\\TESTDLL.DLL", TEST_DLL_MODULE));
  ASSERT_TRUE(machine.files().putModuleFile("C:\\KERNIMP.EXE", KERNEL_IMPORT_DLL_MODULE));
  struct Case {
    const char* file;
    DWORD error;
    const char* failure;
  };
  for (const Case& refused : {
           Case{"C:\\MISSING.EXE", ERROR_FILE_NOT_FOUND, "C:\\MISSING.EXE does not exist"},
           Case{"C:\\WINNT", ERROR_ACCESS_DENIED, "C:\\WINNT is a folder"},
           Case{"C:\\README.TXT", ERROR_BAD_EXE_FORMAT, "C:\\README.TXT is no program this machine can run"},
           Case{"C:\\TESTDLL.DLL", ERROR_BAD_EXE_FORMAT, "C:\\TESTDLL.DLL has no program entry (WinMain)"},
           Case{"C:\\KERNIMP.EXE", ERROR_PROC_NOT_FOUND,
                "C:\\KERNIMP.EXE cannot be loaded: it imports KeReadStateEvent, which is no user-mode "
                "routine"},
       }) {
    nrv::ProgramRun run = machine.runProgram(refused.file);
    EXPECT_FALSE(run.ran) << refused.file;
    EXPECT_EQ(run.error, refused.error) << refused.file;
    EXPECT_EQ(run.failure, refused.failure);
  }
  DWORD error = 0;
  EXPECT_TRUE(machine.files().remove("C:\\TESTDLL.DLL", &error)) << "a refused image is not left in use";
}

TEST_F(ProgramDeathTest, AProgramThatEndsWithAHandleOpenStopsTheMachine) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.files().putModuleFile("C:\\TESTLEAK.EXE", LEAKING_PROGRAM_MODULE);
        machine.runProgram("C:\\TESTLEAK.EXE");
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED\n.*process 'TESTLEAK.EXE' ended with 1 handle\\(s\\) open:\n.*an "
      "event");
}

TEST_F(ProgramDeathTest, AProgramsBoxWithNoAnswerStopsTheMachineNamingTheProgram) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.files().putModuleFile(kProgram, TEST_PROGRAM_MODULE);
        machine.runProgram(kProgram);
      },
      "STOP: MESSAGE_BOX_NOT_ANSWERED\n.*process 'TESTPROG.EXE' showed a message box: caption \"Error\", "
      "text "
      "\"Test program\", style MB_YESNO \\| MB_ICONQUESTION");
}

TEST(Program, GetVersionReportsTheSetVersionAndOtherwiseTheProfiles) {
  for (auto [profile, own] : {std::pair{nrv::OsProfile::Windows98, 0xC0000A04u},
                              std::pair{nrv::OsProfile::Windows2000, 0x08930005u}}) {
    nrv::Machine machine(nrv::MachineOptions{profile});
    nrv::ProcessScope scope(machine.startProcess("setup"));
    EXPECT_EQ(GetVersion(), own);
    machine.reportVersion(0x05650004);  // Windows NT 4.0, build 1381
    EXPECT_EQ(GetVersion(), 0x05650004u);
    EXPECT_EQ(machine.profile(), profile) << "the system itself stays what it is";
    machine.reportVersion(0);
    EXPECT_EQ(GetVersion(), own);
  }
}

}  // namespace
