// The spooler: its process loads every registered monitor and asks it for
// its ports on threads of its own; EnumPortsA merges every monitor's ports
// (the local monitor's first) with the buffer arithmetic of the spooler,
// DeletePortA goes to the monitor that listed the port, and a monitor that
// breaks the rules of its buffer stops the machine.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/thread_context.h"
#include "death_test.h"
#include "machine/machine.h"
#include "test_monitor/test_monitor.h"

namespace {

using nrv::OsProfile;
using nrv::PortRecord;

constexpr char kTestMonitor[] = "Test Port Monitor";
constexpr char kSecondMonitor[] = "Second Port Monitor";
constexpr DWORD kUntouched = 0xDDDDDDDD;

// Where each entry of a test monitor was called: process and thread.
struct Calls {
  std::mutex lock;
  std::vector<std::string> seen;  // "entry in process on thread"

  static VOID WINAPI observe(LPCSTR entry, PVOID context) {
    auto* calls = static_cast<Calls*>(context);
    nrv::ThreadRecord& thread = nrv::currentThread("the test monitor");
    std::lock_guard<std::mutex> guard(calls->lock);
    calls->seen.push_back(std::string(entry) + " in " + nrv::currentProcess("the test monitor").name() +
                          " on " + thread.name);
  }
};

class Spooler : public ::testing::Test {
 protected:
  explicit Spooler(OsProfile profile = OsProfile::Windows2000) : machine(nrv::MachineOptions{profile}) {
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\testmon2.dll",
                                  SECOND_MONITOR_MODULE);
    machine.registerMonitor(kTestMonitor, "TestMon.dll");
  }

  void start() {
    machine.startSpooler();
    nrv::UserModule* module = machine.spooler().monitorModule(kTestMonitor);
    ASSERT_NE(module, nullptr);
    control = controlOf(*module);
    control->Observe = Calls::observe;
    control->Context = &calls;
  }

  TestMonitorControl* controlOf(nrv::UserModule& module) {
    auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(
        machine.spooler().process()->exportOf(module, "TestMonitorControlBlock"));
    return block();
  }

  // EnumPortsA from the program, into a buffer of `size` bytes (more bytes follow, untouched).
  struct Listing {
    BOOL result;
    DWORD error;
    DWORD needed;
    DWORD returned;
    std::vector<uint8_t> buffer;
  };
  Listing enumPorts(DWORD level, DWORD size, bool withBuffer = true) {
    Listing listing{FALSE, kUntouched, kUntouched, kUntouched, std::vector<uint8_t>(size + 16, 0xEE)};
    nrv::ProcessScope scope(program);
    SetLastError(kUntouched);
    listing.result = EnumPortsA(nullptr, level, withBuffer ? listing.buffer.data() : nullptr, size,
                                &listing.needed, &listing.returned);
    listing.error = GetLastError();
    for (size_t at = size; at < listing.buffer.size(); at++) EXPECT_EQ(listing.buffer[at], 0xEE) << at;
    return listing;
  }
  // The level-2 ports a successful listing holds.
  static std::vector<std::string> describe(const Listing& listing, DWORD level) {
    std::vector<std::string> ports;
    for (DWORD index = 0; index < listing.returned; index++) {
      if (level == 1) {
        auto* info = reinterpret_cast<const PORT_INFO_1A*>(listing.buffer.data()) + index;
        ports.push_back(info->pName);
      } else {
        auto* info = reinterpret_cast<const PORT_INFO_2A*>(listing.buffer.data()) + index;
        ports.push_back(std::string(info->pPortName) + " | " +
                        (info->pMonitorName ? info->pMonitorName : "NULL") + " | " +
                        (info->pDescription ? info->pDescription : "NULL") + " | " +
                        std::to_string(info->fPortType));
      }
    }
    return ports;
  }

  BOOL deletePort(const char* name, DWORD* error) {
    nrv::ProcessScope scope(program);
    std::string copy = name;
    SetLastError(kUntouched);
    BOOL result = DeletePortA(nullptr, nullptr, copy.data());
    *error = GetLastError();
    return result;
  }

  Calls calls;  // outlives the machine, whose shutdown the monitor reports to it
  nrv::Machine machine;
  nrv::Process& program = machine.startProcess("program");
  TestMonitorControl* control = nullptr;
};

const std::vector<std::string> kLocalPorts2000 = {"LPT1: | Local Port | Local Port | 3",
                                                  "COM1: | Local Port | Local Port | 3",
                                                  "FILE: | Local Port | Local Port | 1"};

TEST_F(Spooler, LoadsEveryRegisteredMonitorOnItsOwnThread) {
  machine.registerMonitor(kSecondMonitor, "TESTMON2.DLL");
  start();
  std::vector<nrv::MonitorState> monitors = machine.spooler().monitors();
  ASSERT_EQ(monitors.size(), 3u);
  EXPECT_EQ(monitors[0].name, "Local Port");
  EXPECT_EQ(monitors[1].name, kSecondMonitor) << "in the registry's order";
  EXPECT_EQ(monitors[2].name, kTestMonitor);
  EXPECT_EQ(monitors[2].driver, "TestMon.dll");
  for (const nrv::MonitorState& monitor : monitors) EXPECT_EQ(monitor.failure, "") << monitor.name;
  EXPECT_EQ(control->InitializeCalls, 1u);
  EXPECT_STREQ(control->RegistryRoot,
               "System\\CurrentControlSet\\Control\\Print\\Monitors\\Test Port Monitor");
  EXPECT_EQ(control->EnumPortsCalls, 2u)
      << "the spooler learns each monitor's ports as it starts: size, then ports";
  EXPECT_EQ(machine.spooler().process()->name(), "spooler");
}

TEST_F(Spooler, EnumPortsMergesEveryMonitorsPortsLocalOnesFirst) {
  machine.registerMonitor(kSecondMonitor, "TESTMON2.DLL");
  start();
  for (DWORD level : {1u, 2u}) {
    Listing query = enumPorts(level, 0, false);
    EXPECT_FALSE(query.result);
    EXPECT_EQ(query.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(query.returned, 0u);
    Listing listing = enumPorts(level, query.needed);
    ASSERT_TRUE(listing.result) << listing.error;
    EXPECT_EQ(listing.error, kUntouched) << "success leaves the last error alone";
    EXPECT_EQ(listing.needed, query.needed);
    std::vector<std::string> expected;
    if (level == 1) {
      expected = {"LPT1:", "COM1:", "FILE:", "SECOND1:", "SECOND2:", "TEST1:", "TEST2:"};
    } else {
      expected = kLocalPorts2000;
      expected.insert(
          expected.end(),
          {"SECOND1: | Test Port Monitor | First test port | 1", "SECOND2: | Test Port Monitor | NULL | 1",
           "TEST1: | Test Port Monitor | First test port | 1", "TEST2: | Test Port Monitor | NULL | 1"});
    }
    EXPECT_EQ(describe(listing, level), expected);
  }
}

// Structures from the start, strings from the end of the buffer given, each
// record's strings in field order: the first port's name lies highest.
TEST_F(Spooler, TheMergesBufferArithmetic) {
  start();
  Listing query = enumPorts(2, 0, false);
  const DWORD structures = 5 * sizeof(PORT_INFO_2A);
  const DWORD strings = 3 * (6 + 11 + 11) + (7 + 18 + 16) + (7 + 18);
  EXPECT_EQ(query.needed, structures + strings);

  DWORD size = query.needed + 100;
  Listing listing = enumPorts(2, size);
  ASSERT_TRUE(listing.result);
  const uint8_t* base = listing.buffer.data();
  auto* first = reinterpret_cast<const PORT_INFO_2A*>(base);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(first->pPortName), base + size - 6);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(first->pMonitorName), base + size - 6 - 11);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(first->pDescription), base + size - 6 - 11 - 11);
  auto* last = first + 4;
  EXPECT_EQ(last->pDescription, nullptr) << "a NULL string takes no room";
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(last->pMonitorName), base + size - strings);
  for (DWORD at = structures; at < size - strings; at++) EXPECT_EQ(base[at], 0xEE) << "the gap is untouched";

  Listing tooSmall = enumPorts(2, query.needed - 1);
  EXPECT_FALSE(tooSmall.result);
  EXPECT_EQ(tooSmall.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(tooSmall.needed, query.needed);
  EXPECT_EQ(tooSmall.returned, 0u);
  for (DWORD at = 0; at < query.needed - 1; at++) ASSERT_EQ(tooSmall.buffer[at], 0xEE) << "nothing written";
}

TEST_F(Spooler, WhatTheSpoolerRefusesBeforeAskingAMonitor) {
  Listing notRunning = enumPorts(2, 0, false);
  EXPECT_FALSE(notRunning.result);
  EXPECT_EQ(notRunning.error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  start();
  DWORD calls = control->EnumPortsCalls;
  for (DWORD level : {0u, 3u, 5u}) {
    Listing listing = enumPorts(level, 64);
    EXPECT_FALSE(listing.result);
    EXPECT_EQ(listing.error, static_cast<DWORD>(ERROR_INVALID_LEVEL)) << level;
    EXPECT_EQ(listing.needed, kUntouched);
    EXPECT_EQ(listing.returned, kUntouched);
  }
  nrv::ProcessScope scope(program);
  DWORD needed = 0;
  DWORD returned = 0;
  BYTE buffer[8];
  EXPECT_FALSE(EnumPortsA(nullptr, 1, buffer, sizeof(buffer), nullptr, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_FALSE(EnumPortsA(nullptr, 1, buffer, sizeof(buffer), &needed, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  EXPECT_FALSE(EnumPortsA(nullptr, 1, nullptr, 8, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  char empty[] = "";
  EXPECT_FALSE(EnumPortsA(empty, 1, nullptr, 0, &needed, &returned)) << "the local server by its empty name";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(control->EnumPortsCalls, calls + 2)
      << "only the last call reached the monitor (its size, its ports)";
}

TEST_F(Spooler, CallsReachTheMonitorOnSpoolerThreads) {
  start();
  enumPorts(1, 0, false);
  DWORD error;
  deletePort("TEST1:", &error);
  std::vector<std::string> seen = calls.seen;
  EXPECT_EQ(seen, (std::vector<std::string>{"EnumPorts in spooler on spooler: EnumPorts",
                                            "EnumPorts in spooler on spooler: EnumPorts",
                                            "DeletePort in spooler on spooler: DeletePort"}));
}

TEST_F(Spooler, TwoProgramsAskAtOnce) {
  start();
  std::vector<std::vector<std::string>> lists(2);
  for (size_t index = 0; index < lists.size(); index++) {
    program.startThread("asker", [this, &lists, index] {
      Listing query = enumPorts(1, 0, false);
      Listing listing = enumPorts(1, query.needed);
      lists[index] = describe(listing, 1);
    });
  }
  machine.joinThreads();
  for (const auto& list : lists) EXPECT_EQ(list.size(), 5u);
  // Each program asks twice (size, ports) and each time the spooler asks the monitor twice.
  EXPECT_EQ(calls.seen, std::vector<std::string>(8, "EnumPorts in spooler on spooler: EnumPorts"));
}

// The monitor's list may grow between the size query and the call that fetches it.
TEST_F(Spooler, APortThatAppearsBetweenSizeAndFetchIsListed) {
  start();
  control->GrowAfterSizeQuery = 2;
  Listing query = enumPorts(1, 0, false);
  Listing listing = enumPorts(1, query.needed + 64);
  ASSERT_TRUE(listing.result);
  EXPECT_EQ(describe(listing, 1),
            (std::vector<std::string>{"LPT1:", "COM1:", "FILE:", "TEST1:", "TEST2:", "GROWN2:", "GROWN3:"}));
}

TEST_F(Spooler, AMonitorThatFailsListsNothingAndTheOthersStill) {
  start();
  control->EnumPortsError = ERROR_ACCESS_DENIED;
  Listing query = enumPorts(2, 0, false);
  Listing listing = enumPorts(2, query.needed);
  ASSERT_TRUE(listing.result);
  EXPECT_EQ(describe(listing, 2), kLocalPorts2000);
}

TEST_F(Spooler, DeletePortGoesToTheMonitorThatListedIt) {
  machine.registerMonitor(kSecondMonitor, "TESTMON2.DLL");
  start();
  TestMonitorControl* second = controlOf(*machine.spooler().monitorModule(kSecondMonitor));
  DWORD error = 0;
  EXPECT_TRUE(deletePort("test2:", &error)) << error;
  EXPECT_STREQ(control->LastDeleted, "test2:") << "the name as the program gave it";
  EXPECT_EQ(error, kUntouched);
  EXPECT_FALSE(deletePort("TEST2:", &error)) << "the spooler forgot it";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNKNOWN_PORT));

  EXPECT_FALSE(deletePort("SECOND1:", &error)) << "its monitor has no DeletePort";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(second->LastDeleted[0], 0) << "an entry left NULL is never called";

  control->DeletePortError = 1803;
  EXPECT_FALSE(deletePort("TEST1:", &error));
  EXPECT_EQ(error, 1803u) << "the monitor's error reaches the program";
  control->DeletePortError = 0;

  // A port the monitor added since the spooler's last enumeration is not the spooler's to delete yet.
  control->PortCount = 2;
  memcpy(control->Names[1], "NEW1:", 6);
  EXPECT_FALSE(deletePort("NEW1:", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  enumPorts(2, 0, false);
  EXPECT_TRUE(deletePort("NEW1:", &error));
  EXPECT_FALSE(deletePort("", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_UNKNOWN_PORT));
}

// One DLL registered under two names is loaded once and initialized twice, once per name.
TEST_F(Spooler, TwoMonitorsOfOneDll) {
  machine.registerMonitor("Another Test Monitor", "TESTMON.DLL");
  start();
  EXPECT_EQ(machine.spooler().monitorModule("Another Test Monitor"),
            machine.spooler().monitorModule(kTestMonitor));
  EXPECT_EQ(control->InitializeCalls, 2u);
  EXPECT_STREQ(control->RegistryRoot,
               "System\\CurrentControlSet\\Control\\Print\\Monitors\\Test Port Monitor");
  EXPECT_EQ(machine.spooler().ports().size(), 7u) << "each name lists the DLL's ports";
}

TEST_F(Spooler, MonitorsThatCannotBeLoadedAreLeftOutWithTheReason) {
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\REFUSE.DLL", REFUSING_MONITOR_MODULE);
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\NOTMON.DLL", TEST_DLL_MODULE);
  machine.registerMonitor("A Refusing Monitor", "refuse.dll");
  machine.registerMonitor("B Missing Monitor", "MISSING.DLL");
  machine.registerMonitor("C Not A Monitor", "NOTMON.DLL");
  machine.registry().createKey(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Monitors\\D Empty");
  start();
  std::vector<nrv::MonitorState> monitors = machine.spooler().monitors();
  ASSERT_EQ(monitors.size(), 6u);
  EXPECT_EQ(monitors[1].failure, "its InitializeMonitorEx failed (error 87)");
  EXPECT_EQ(monitors[2].failure, "MISSING.DLL is not in the system folder");
  EXPECT_EQ(monitors[3].failure, "it exports no InitializeMonitorEx");
  EXPECT_EQ(monitors[4].failure, "its key has no Driver value");
  EXPECT_EQ(monitors[5].failure, "");
  EXPECT_EQ(machine.spooler().ports().size(), 5u);
}

// At shutdown the spooler lets its monitors go on a thread of its own, as
// FreeLibrary does, before its process ends.
TEST(SpoolerShutdown, LetsEachMonitorGoBeforeItsProcessEnds) {
  Calls shutdownCalls;
  {
    nrv::Machine machine;
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
    machine.startSpooler();
    auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(machine.spooler().process()->exportOf(
        *machine.spooler().monitorModule(kTestMonitor), "TestMonitorControlBlock"));
    block()->Observe = Calls::observe;
    block()->Context = &shutdownCalls;
  }
  EXPECT_EQ(shutdownCalls.seen, std::vector<std::string>{"DllEntryPoint detach in spooler on spooler: stop"});
}

// While the spooler loads its monitors, programs cannot reach it yet.
TEST(SpoolerStart, ProgramsReachTheSpoolerOnceItsMonitorsAreLoaded) {
  // Held open by the test so that its control block is set before the spooler loads it.
  void* library = dlopen(TEST_MONITOR_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(dlsym(library, "TestMonitorControlBlock"));
  struct Seen {
    nrv::Machine* machine;
    std::vector<std::string> answers;
  } seen;
  {
    nrv::Machine machine;
    seen.machine = &machine;
    block()->Context = &seen;
    block()->Observe = [](LPCSTR entry, PVOID context) {
      auto* seen = static_cast<Seen*>(context);
      if (std::string(entry) != "InitializeMonitorEx") return;
      nrv::ProcessScope scope(seen->machine->startProcess("program"));
      DWORD needed = 0;
      DWORD returned = 0;
      EnumPortsA(nullptr, 1, nullptr, 0, &needed, &returned);
      seen->answers.push_back(std::to_string(GetLastError()));
    };
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
    machine.startSpooler();
    block()->Observe = nullptr;
  }
  dlclose(library);
  EXPECT_EQ(seen.answers, std::vector<std::string>{std::to_string(RPC_S_SERVER_UNAVAILABLE)});
}

// The C++ entry for tests and nrvsim takes the path a program takes.
TEST_F(Spooler, ItsPortsForTestsAndNrvsim) {
  start();
  std::vector<PortRecord> ports = machine.spooler().ports();
  ASSERT_EQ(ports.size(), 5u);
  EXPECT_EQ(ports[3].name, "TEST1:");
  EXPECT_EQ(ports[3].monitor, std::optional<std::string>("Test Port Monitor"));
  EXPECT_EQ(ports[4].description, std::nullopt);
  EXPECT_EQ(calls.seen.back(), "EnumPorts in spooler on spooler: EnumPorts");
}

class Spooler98 : public Spooler {
 protected:
  Spooler98() : Spooler(OsProfile::Windows98) {}
};

TEST_F(Spooler98, TheLocalPortsAsWindows98DescribesThem) {
  start();
  Listing query = enumPorts(2, 0, false);
  Listing listing = enumPorts(2, query.needed);
  std::vector<std::string> ports = describe(listing, 2);
  ports.resize(3);
  EXPECT_EQ(ports, (std::vector<std::string>{"LPT1: | Local Port | Printer Port | 3",
                                             "COM1: | Local Port | Communications Port | 3",
                                             "FILE: | Local Port | Creates a file on disk | 1"}));
}

using SpoolerDeathTest = platform_test::DeathTest;

// A monitor set to misbehave as its first EnumPorts at the spooler's start runs.
void startWithMisbehavingMonitor(DWORD misbehave) {
  nrv::Machine machine;
  machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
  machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
  machine.startSpooler();
  auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(machine.spooler().process()->exportOf(
      *machine.spooler().monitorModule(kTestMonitor), "TestMonitorControlBlock"));
  block()->Misbehave = misbehave;
  machine.spooler().ports();
}

TEST_F(SpoolerDeathTest, AMonitorThatBreaksItsBufferStopsTheMachine) {
  EXPECT_DEATH(
      startWithMisbehavingMonitor(TEST_MONITOR_WRITES_PAST_BUFFER),
      "STOP: MONITOR_BUFFER_OVERRUN.*port monitor 'Test Port Monitor' \\(TESTMON.so\\): its EnumPorts wrote "
      "past the [0-9]+ bytes it was given");
  EXPECT_DEATH(
      startWithMisbehavingMonitor(TEST_MONITOR_POINTS_OUTSIDE_BUFFER),
      "STOP: MONITOR_BAD_PORT_LIST.*its EnumPorts at level 2 listed ports the spooler cannot read: a "
      "string of record 0 lies outside its buffer");
}

TEST_F(SpoolerDeathTest, WhatTheMachineDoesNotImplementStopsIt) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.startSpooler();
        nrv::ProcessScope scope(machine.startProcess("program"));
        char port[] = "LPT1:";
        DeletePortA(nullptr, nullptr, port);
      },
      "STOP: NOT_IMPLEMENTED.*DeletePortA: the machine's local port LPT1: cannot be deleted");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.startSpooler();
        nrv::ProcessScope scope(machine.startProcess("program"));
        char server[] = "\\\\PRINTSERVER";
        DWORD needed;
        DWORD returned;
        EnumPortsA(server, 1, nullptr, 0, &needed, &returned);
      },
      "STOP: NOT_IMPLEMENTED.*EnumPortsA: the print server '.*PRINTSERVER' is not simulated");
}

}  // namespace
