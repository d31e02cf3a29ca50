// kernel32's memory: local and virtual blocks, their flags and errors, fault
// injection, attribution to the module that allocated them, and the stops
// for leaks, double frees and overruns.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "death_test.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
using TestDllAllocate = HLOCAL(WINAPI*)(SIZE_T bytes);

class Memory : public ::testing::Test {
 public:
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
};

TEST_F(Memory, LocalBlocksAreFixedAndZeroedOnlyWhenAsked) {
  auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  auto* plain = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, 64));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(zeroed[0] | zeroed[63], 0);
  EXPECT_NE(plain[0], 0) << "not zeroed, so code that forgets LMEM_ZEROINIT shows";
  HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
  EXPECT_NE(empty, nullptr);
  EXPECT_EQ(process.heap().outstanding().size(), 3u);
  EXPECT_EQ(LocalFree(zeroed), nullptr);
  EXPECT_EQ(LocalFree(plain), nullptr);
  EXPECT_EQ(LocalFree(empty), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  SetLastError(kSentinel);
  EXPECT_EQ(LocalAlloc(0x8000, 16), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(LocalAlloc(LMEM_FIXED, SIZE_T(3) << 30), nullptr) << "more than a 32-bit process holds";
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(Memory, VirtualBlocksAreWholeZeroedPages) {
  auto* block =
      static_cast<unsigned char*>(VirtualAlloc(nullptr, 100, MEM_COMMIT, PAGE_NOCACHE | PAGE_READWRITE));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4096, 0u);
  EXPECT_EQ(block[4095], 0) << "the whole page is the program's";
  block[4095] = 1;
  EXPECT_EQ(process.heap().find(block)->size, 4096u);

  SetLastError(kSentinel);
  EXPECT_FALSE(VirtualFree(block, 100, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "a release takes size 0";
  EXPECT_FALSE(VirtualFree(block + 16, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(block, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);

  for (auto [type, protect] : {std::pair<DWORD, DWORD>{0, PAGE_READWRITE},
                               {MEM_COMMIT, 0},
                               {MEM_COMMIT, PAGE_READWRITE | PAGE_READONLY},
                               {MEM_COMMIT, PAGE_NOACCESS | PAGE_NOCACHE},
                               {MEM_RELEASE, PAGE_READWRITE}}) {
    SetLastError(kSentinel);
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, type, protect), nullptr) << type << " " << protect;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
}

TEST_F(Memory, FaultInjectionFailsUserModeAllocationsLikePool) {
  nrv::FaultInjector& faults = machine.faults();
  uint64_t before = faults.requests(nrv::FaultKind::UserAllocation);
  faults.failNth(nrv::FaultKind::UserAllocation, before + 2);
  HLOCAL first = LocalAlloc(LPTR, 8);
  SetLastError(kSentinel);
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  HLOCAL third = LocalAlloc(LPTR, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(faults.requests(nrv::FaultKind::UserAllocation), before + 3);
  EXPECT_NE(faults.describe().find("user-mode allocation #"), std::string::npos);
  LocalFree(first);
  LocalFree(third);
}

TEST_F(Memory, BlocksBelongToTheModuleWhoseCodeAllocated) {
  std::string failure;
  nrv::UserModule* module = process.loadModule(TEST_DLL_MODULE, &failure);
  ASSERT_NE(module, nullptr) << failure;
  auto allocate = reinterpret_cast<TestDllAllocate>(process.exportOf(*module, "TestDllAllocate"));
  ASSERT_NE(allocate, nullptr);
  HLOCAL fromDll = allocate(24);
  HLOCAL fromTest = LocalAlloc(LPTR, 8);
  ASSERT_EQ(process.heap().outstanding("TESTDLL.so").size(), 1u);
  EXPECT_EQ(process.heap().outstanding("TESTDLL.so")[0].address, fromDll);
  EXPECT_NE(process.heap().outstanding("TESTDLL.so")[0].allocatedBy.find("TESTDLL.so!TestDllAllocate"),
            std::string::npos);
  EXPECT_EQ(process.heap().outstanding().size(), 2u);
  LocalFree(fromDll);
  LocalFree(fromTest);
}

using MemoryDeathTest = platform_test::DeathTest;

TEST_F(MemoryDeathTest, LeaksAndBadFreesStop) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::Process& process = machine.startProcess("leaky");
        nrv::ProcessScope scope(process);
        std::string failure;
        auto allocate = reinterpret_cast<TestDllAllocate>(
            process.exportOf(*process.loadModule(TEST_DLL_MODULE, &failure), "TestDllAllocate"));
        allocate(24);
      },
      "STOP: PROCESS_MEMORY_NOT_FREED.*process 'leaky' ended with 1 memory block.*24 bytes from LocalAlloc.*"
      "allocated by TESTDLL.so!TestDllAllocate");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        HLOCAL block = LocalAlloc(LPTR, 8);
        LocalFree(block);
        LocalFree(block);
      },
      "STOP: INVALID_HEAP_BLOCK.*LocalFree.*not a live block of this process");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        auto* block = static_cast<char*>(LocalAlloc(LPTR, 8));
        block[8] = 'x';
        LocalFree(block);
      },
      "STOP: HEAP_BLOCK_OVERRUN.*8-byte block from LocalAlloc.*written past its end");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        auto* block = static_cast<char*>(LocalAlloc(LPTR, 8));
        lstrcpyA(block, "NRVUSB001:");
      },
      "STOP: USER_BUFFER_OVERRUN.*lstrcpyA.*11 bytes.*8-byte block");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        auto* section = static_cast<LPCRITICAL_SECTION>(LocalAlloc(LPTR, sizeof(CRITICAL_SECTION)));
        InitializeCriticalSection(section);
        LocalFree(section);
      },
      "STOP: FREED_MEMORY_IN_USE.*critical section.*never deleted");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        LocalAlloc(LMEM_MOVEABLE, 8);
      },
      "STOP: NOT_IMPLEMENTED.*LocalAlloc.*flags 0x2");
}

}  // namespace
