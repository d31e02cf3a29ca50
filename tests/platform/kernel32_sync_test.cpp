// kernel32's events, waits, sleeping, tick count and critical sections, all
// on the machine's virtual clock, with the verifier's stops for critical
// sections used wrongly.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "death_test.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

class Sync : public ::testing::Test {
 public:
  uint64_t now() { return machine.scheduler().nowMilliseconds(); }

  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
};

TEST_F(Sync, ManualAndAutoResetEventsWaitInVirtualTime) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(manual, nullptr);
  uint64_t start = now();
  EXPECT_EQ(WaitForSingleObject(manual, 1500), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(now() - start, 1500u);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the wait consumed it";

  // Another thread of the program sets it later; the waiter wakes at that virtual time.
  process.startThread("setter", [automatic] {
    Sleep(700);
    SetEvent(automatic);
  });
  start = now();
  EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(now() - start, 700u);
  machine.joinThreads();
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
}

TEST_F(Sync, WaitsAndEventCallsOnWhatIsNoEventFail) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(event));
  for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event}) {
    SetLastError(kSentinel);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(bad));
  }
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(key, 0), WAIT_FAILED) << "a registry key cannot be waited on";
  EXPECT_FALSE(SetEvent(key));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Sync, TickCountFollowsTheVirtualClockFromItsStartAndWraps) {
  machine.setTickCountStart(0xFFFFFF00);
  DWORD first = GetTickCount();
  EXPECT_EQ(first, 0xFFFFFF00u + now());
  Sleep(0x180);
  EXPECT_EQ(GetTickCount(), first + 0x180) << "unsigned arithmetic across the wrap";
  EXPECT_LT(GetTickCount(), first);
  Sleep(0);
  EXPECT_EQ(GetTickCount(), first + 0x180) << "Sleep(0) lets no time pass";
}

TEST_F(Sync, CriticalSectionsAreRecursiveAndMakeOthersWait) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  std::vector<int> order;
  process.startThread("second", [&] {
    EnterCriticalSection(&section);
    order.push_back(2);
    LeaveCriticalSection(&section);
  });
  Sleep(100);
  order.push_back(1);
  LeaveCriticalSection(&section);
  Sleep(100);
  EXPECT_EQ(order, std::vector<int>{1}) << "still held once";
  LeaveCriticalSection(&section);
  machine.joinThreads();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  DeleteCriticalSection(&section);
  InitializeCriticalSection(&section);  // may be used again after deletion
  DeleteCriticalSection(&section);
}

// A section left while others wait passes to the one that waited longest,
// even when the leaving thread asks for it again at once: which thread gets
// it never depends on how the host runs the threads.
TEST_F(Sync, ALeftCriticalSectionPassesToItsLongestWaiter) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  std::vector<std::string> order;
  for (const char* name : {"first", "second"}) {
    process.startThread(name, [&, name] {
      EnterCriticalSection(&section);
      order.push_back(name);
      LeaveCriticalSection(&section);
    });
    Sleep(10);
  }
  LeaveCriticalSection(&section);
  EnterCriticalSection(&section);
  order.push_back("main again");
  LeaveCriticalSection(&section);
  machine.joinThreads();
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "main again"}));
  DeleteCriticalSection(&section);
}

using SyncDeathTest = platform_test::DeathTest;

// Runs body as a thread of a program on a fresh machine.
template <typename Body>
void inProgram(Body body) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope(process);
  body(machine, process);
}

TEST_F(SyncDeathTest, CriticalSectionsUsedWronglyStop) {
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) {
                 CRITICAL_SECTION section;
                 EnterCriticalSection(&section);
               }),
               "STOP: CRITICAL_SECTION_NOT_INITIALIZED.*EnterCriticalSection");
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) { InitializeCriticalSection(nullptr); }),
               "STOP: ACCESS_VIOLATION.*InitializeCriticalSection from .*lpCriticalSection is NULL");
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) {
                 CRITICAL_SECTION section;
                 InitializeCriticalSection(&section);
                 DeleteCriticalSection(&section);
                 EnterCriticalSection(&section);
               }),
               "STOP: CRITICAL_SECTION_DELETED.*EnterCriticalSection");
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) {
                 CRITICAL_SECTION section;
                 InitializeCriticalSection(&section);
                 InitializeCriticalSection(&section);
               }),
               "STOP: CRITICAL_SECTION_ALREADY_INITIALIZED");
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) {
                 CRITICAL_SECTION section;
                 InitializeCriticalSection(&section);
                 LeaveCriticalSection(&section);
               }),
               "STOP: CRITICAL_SECTION_NOT_OWNED.*thread 'main'.*held by no thread");
  EXPECT_DEATH(inProgram([](nrv::Machine&, nrv::Process&) {
                 CRITICAL_SECTION section;
                 InitializeCriticalSection(&section);
                 EnterCriticalSection(&section);
                 DeleteCriticalSection(&section);
               }),
               "STOP: CRITICAL_SECTION_DELETED_WHILE_HELD.*held by thread 'main'");
  EXPECT_DEATH(inProgram([](nrv::Machine& machine, nrv::Process& process) {
                 static CRITICAL_SECTION section;
                 InitializeCriticalSection(&section);
                 process.startThread("worker", [] { EnterCriticalSection(&section); });
                 machine.joinThreads();
               }),
               "STOP: CRITICAL_SECTION_HELD_AT_THREAD_END.*thread 'program: worker' ended holding");
}

TEST_F(SyncDeathTest, ThreadsWaitingForEachOthersSectionsAreADeadlock) {
  EXPECT_DEATH(
      inProgram([](nrv::Machine& machine, nrv::Process& process) {
        static CRITICAL_SECTION first;
        static CRITICAL_SECTION second;
        InitializeCriticalSection(&first);
        InitializeCriticalSection(&second);
        EnterCriticalSection(&first);
        process.startThread("other", [] {
          EnterCriticalSection(&second);
          EnterCriticalSection(&first);
        });
        Sleep(10);
        EnterCriticalSection(&second);
        machine.joinThreads();
      }),
      "STOP: DEADLOCK.*each other's critical sections.*thread 'main' waits in EnterCriticalSection.*held by "
      "thread 'program: other'.*thread 'program: other' waits.*held by thread 'main'");
}

}  // namespace
