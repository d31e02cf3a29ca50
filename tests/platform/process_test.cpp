// User-mode processes: DLLs loaded with their entry point and only their .def
// exports, handles, threads bound to their process, and the end of a process.
#include <gtest/gtest.h>

#include "death_test.h"
#include "machine/machine.h"

namespace {

using TestDllWatch = HINSTANCE(WINAPI*)(DWORD* detaches);

class Handle : public nrv::HandleObject {
 public:
  const char* kind() const override { return "a test object"; }
};

TEST(Process, LoadsADllWithItsEntryPointAndOnlyItsListedExports) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("host");
  DWORD detaches = 0;
  {
    nrv::ProcessScope scope(process);
    std::string failure;
    nrv::UserModule* module = process.loadModule(TEST_DLL_MODULE, &failure);
    ASSERT_NE(module, nullptr) << failure;
    EXPECT_EQ(module->name, "TESTDLL.so");
    EXPECT_EQ(process.moduleOf(module->instance), module);
    auto watch = reinterpret_cast<TestDllWatch>(process.exportOf(*module, "TestDllWatch"));
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(watch(&detaches), module->instance) << "the entry point is given the module's instance";
    EXPECT_EQ(process.exportOf(*module, "TestDllHidden"), nullptr) << "not listed in the .def file";
  }
  process.end();
  EXPECT_EQ(detaches, 1u);
}

TEST(Process, FreeLibraryDetachesAndUnloadsOneModule) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("host");
  nrv::ProcessScope scope(process);
  DWORD detaches = 0;
  nrv::UserModule* module = process.loadModule(TEST_DLL_MODULE, nullptr);
  ASSERT_NE(module, nullptr);
  HINSTANCE instance = module->instance;
  reinterpret_cast<TestDllWatch>(process.exportOf(*module, "TestDllWatch"))(&detaches);
  process.unloadModule(*module);
  EXPECT_EQ(detaches, 1u);
  EXPECT_EQ(process.moduleOf(instance), nullptr);
}

TEST(Process, AFileThatIsNoModuleIsRefusedWithTheLoadersReason) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("host");
  nrv::ProcessScope scope(process);
  std::string failure;
  EXPECT_EQ(process.loadModule("/nonexistent/NOTHERE.so", &failure), nullptr);
  EXPECT_NE(failure.find("NOTHERE.so"), std::string::npos) << failure;
}

// Linking on the host proves nothing: the kernel is a library like any other here.
TEST(Process, AModuleThatImportsAKernelRoutineIsRefused) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("host");
  nrv::ProcessScope scope(process);
  std::string failure;
  EXPECT_EQ(process.loadModule(KERNEL_IMPORT_DLL_MODULE, &failure), nullptr);
  EXPECT_EQ(failure, "it imports KeReadStateEvent, which is no user-mode routine");
}

TEST(Process, HandlesAreOfTheirKindAndNeverReused) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("host");
  HANDLE first = process.addHandle(std::make_unique<Handle>(), nullptr);
  EXPECT_NE(process.object<Handle>(first), nullptr);
  EXPECT_EQ(process.object<nrv::HandleObject>(nullptr), nullptr);
  EXPECT_NE(process.removeHandle(first), nullptr);
  EXPECT_EQ(process.removeHandle(first), nullptr) << "closed already";
  HANDLE second = process.addHandle(std::make_unique<Handle>(), nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 4, 0u);
  process.removeHandle(second);
}

TEST(Process, ItsThreadsRunInIt) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("spooler");
  nrv::Process* seen = nullptr;
  process.startThread("worker", [&] { seen = &nrv::currentProcess("test"); });
  machine.joinThreads();
  EXPECT_EQ(seen, &process);
}

using ProcessDeathTest = platform_test::DeathTest;

TEST_F(ProcessDeathTest, AProcessEndingWithHandlesOpenStops) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.startProcess("leaky").addHandle(std::make_unique<Handle>(), __builtin_return_address(0));
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED.*process 'leaky' ended with 1 handle.*a test object");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::currentProcess("GetLastError");
      },
      "STOP: NOT_A_PROCESS_THREAD.*GetLastError was called on thread 'main'");
}

}  // namespace
