// kernel32's device files: CreateFileA on an interface path, synchronous and
// overlapped reads, writes and device controls, GetOverlappedResult, and
// closing a file with requests still running. Every output and the last
// error start from a sentinel, so that an untouched value shows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "death_test.h"
#include "test_stack.h"

namespace {

using platform_test::completeRequest;

const GUID kInterface = {0x6f1c0a52, 0x3d7e, 0x4b19, {0x9a, 0x41, 0x0c, 0x5e, 0x72, 0xd8, 0x13, 0xb6}};
// The Win32 form of the test device's link name, in the letter case setupapi hands it out.
const char* const kPath = "\\\\?\\usb#vid_0a5f&pid_0001#5&1#{6f1c0a52-3d7e-4b19-9a41-0c5e72d813b6}";
constexpr DWORD kSentinel = 0xDEADBEEF;
const ULONG kBufferedControl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Requests the test device holds, taken by whoever ends them first: the
// device finishing them or their cancel routine.
struct Held {
  std::mutex lock;
  std::deque<std::pair<PIRP, bool>> irps;  // and whether it has a cancel routine
};
Held held;

void cancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::mutex> guard(held.lock);
    auto found = std::find(held.irps.begin(), held.irps.end(), std::make_pair(irp, true));
    if (found != held.irps.end()) held.irps.erase(found);
  }
  completeRequest(irp, STATUS_CANCELLED);
}

// What the test device does with reads, writes and controls.
enum class Answer { Complete, Fail, Hold, HoldUncancellable };

class DeviceFiles : public ::testing::Test {
 public:
  void SetUp() override {
    held.irps.clear();
    stack.layer(0).dispatch = [this](PDEVICE_OBJECT, PIRP irp) { return answer(irp); };
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(stack.physical().object(), &kInterface, nullptr, &link),
              STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
    SetLastError(kSentinel);
  }

  NTSTATUS answer(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    {
      std::lock_guard<std::mutex> guard(seenLock);  // readers on several threads
      seen.push_back(location->MajorFunction);
    }
    switch (location->MajorFunction) {
      case IRP_MJ_CREATE:
        createName = nrv::fromUnicodeString(location->FileObject->FileName);
        return completeRequest(irp, STATUS_SUCCESS);
      case IRP_MJ_CLEANUP:
      case IRP_MJ_CLOSE:
        return completeRequest(irp, STATUS_SUCCESS);
      default:
        break;
    }
    if (location->MajorFunction == IRP_MJ_READ) {
      std::memcpy(irp->UserBuffer, "reply", std::min<ULONG>(5, location->Parameters.Read.Length));
    }
    switch (mode) {
      case Answer::Complete:
        return completeRequest(irp, STATUS_SUCCESS, bytesAnswered);
      case Answer::Fail:
        return completeRequest(irp, failure);
      case Answer::Hold:
      case Answer::HoldUncancellable:
        hold(irp, mode == Answer::Hold);
        return STATUS_PENDING;
    }
    return STATUS_UNSUCCESSFUL;
  }

  void hold(PIRP irp, bool cancellable) {
    std::lock_guard<std::mutex> guard(held.lock);
    if (cancellable) IoSetCancelRoutine(irp, cancelHeld);
    IoMarkIrpPending(irp);
    held.irps.emplace_back(irp, cancellable);
  }

  // Completes the oldest held request, as a device does later, on the calling
  // thread; false when none is held.
  bool finishHeld(NTSTATUS status, ULONG_PTR information) {
    PIRP irp;
    {
      std::lock_guard<std::mutex> guard(held.lock);
      if (held.irps.empty()) return false;
      auto [front, cancellable] = held.irps.front();
      held.irps.pop_front();
      // A cancel routine that was taken already is running: the request is its to end.
      if (cancellable && IoSetCancelRoutine(front, nullptr) == nullptr) return true;
      irp = front;
    }
    completeRequest(irp, status, information);
    return true;
  }

  HANDLE open(DWORD flags) {
    return CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  }

  OVERLAPPED overlappedWithEvent() {
    OVERLAPPED overlapped{};
    overlapped.Internal = kSentinel;
    overlapped.InternalHigh = kSentinel;
    overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set, so that the reset shows
    return overlapped;
  }

  nrv::Machine machine;
  platform_test::TestStack stack{machine, 1};
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
  std::mutex seenLock;
  std::vector<UCHAR> seen;
  std::u16string createName;
  Answer mode = Answer::Complete;
  ULONG_PTR bytesAnswered = 0;
  NTSTATUS failure = STATUS_UNSUCCESSFUL;
};

TEST_F(DeviceFiles, CreateFileMapsTheInterfacePathAndPassesWhatFollowsAsTheFileName) {
  std::string withPipe = std::string(kPath) + "\\01";
  HANDLE file =
      CreateFileA(withPipe.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(createName, u"\\01");
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));

  std::string dotForm = kPath;
  dotForm[2] = '.';
  file = open(0);
  HANDLE second = CreateFileA(dotForm.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(createName, u"");
  EXPECT_NE(second, file);
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), kSentinel) << "success leaves the last error alone";
}

TEST_F(DeviceFiles, CreateFileRefusesWhatIsNoEnabledInterfaceWithWindowsErrors) {
  struct Case {
    const char* path;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {nullptr, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {kPath, 0, ERROR_INVALID_PARAMETER},
      {kPath, TRUNCATE_EXISTING + 1, ERROR_INVALID_PARAMETER},
      {"\\\\?\\usb#vid_0a5f&pid_0001#5&2#{6f1c0a52-3d7e-4b19-9a41-0c5e72d813b6}", OPEN_EXISTING,
       ERROR_FILE_NOT_FOUND},
      {"\\\\?\\usb#vid_0a5f&pid_0001#5&1#{6f1c0a52-3d7e-4b19-9a41-0c5e72d813b6}x", OPEN_EXISTING,
       ERROR_FILE_NOT_FOUND},
      {"\\\\.\\LPT1", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
  };
  for (const Case& one : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileA(one.path, GENERIC_READ, 0, nullptr, one.disposition, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), one.error) << (one.path ? one.path : "NULL");
  }
  // A driver that refuses the open: its status, as Windows maps it.
  stack.layer(0).dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    return completeRequest(irp, STATUS_DELETE_PENDING);
  };
  EXPECT_EQ(open(0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(process.openHandles(), 0u);
}

TEST_F(DeviceFiles, SynchronousCallsWaitForTheDeviceInVirtualTime) {
  HANDLE file = open(0);
  mode = Answer::Hold;
  machine.startThread("device", [this] {
    machine.sleep(250);
    finishHeld(STATUS_SUCCESS, 5);
  });
  char buffer[16] = {};
  DWORD read = kSentinel;
  uint64_t before = machine.scheduler().nowMilliseconds();
  EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(read, 5u);
  EXPECT_EQ(std::string(buffer, 5), "reply");
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - before, 250u);
  machine.joinThreads();

  mode = Answer::Fail;
  failure = STATUS_DEVICE_NOT_CONNECTED;
  DWORD written = kSentinel;
  EXPECT_FALSE(WriteFile(file, "data", 4, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFiles, OverlappedRequestRunsOnAndItsEndSetsTheOverlappedAndEvent) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  mode = Answer::Hold;
  OVERLAPPED overlapped = overlappedWithEvent();
  DWORD written = kSentinel;
  EXPECT_FALSE(WriteFile(file, "print data", 10, &written, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));

  uint64_t before = machine.scheduler().nowMilliseconds();
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 3000), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the call reset it";
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - before, 3000u);
  DWORD transferred = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(transferred, kSentinel);

  // The device finishes on a thread of its own; GetOverlappedResult waits for it.
  machine.startThread("device", [this] {
    machine.sleep(100);
    finishHeld(STATUS_SUCCESS, 10);
  });
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &transferred, TRUE));
  EXPECT_EQ(transferred, 10u);
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(overlapped.InternalHigh, 10u);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  machine.joinThreads();
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFiles, OverlappedRequestsThatEndAtOnce) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  // Success at once: the call says so, and the OVERLAPPED and event say it too.
  bytesAnswered = 4;
  OVERLAPPED overlapped = overlappedWithEvent();
  DWORD written = kSentinel;
  EXPECT_TRUE(WriteFile(file, "data", 4, &written, &overlapped));
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(overlapped.InternalHigh, 4u);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);

  // Failure at once: only the call's result tells; the OVERLAPPED stays pending and the event reset.
  mode = Answer::Fail;
  failure = STATUS_INVALID_PARAMETER;
  overlapped.InternalHigh = kSentinel;
  EXPECT_FALSE(WriteFile(file, "data", 4, &written, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
  EXPECT_EQ(overlapped.InternalHigh, kSentinel);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFiles, ACancelledRequestReportsTheDriversStatus) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  mode = Answer::Hold;
  OVERLAPPED overlapped = overlappedWithEvent();
  char buffer[8];
  DWORD read = kSentinel;
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &read, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  // The device completes it cancelled, as the driver does on a cancel request.
  finishHeld(STATUS_CANCELLED, 0);
  EXPECT_EQ(overlapped.Internal, 0xC0000120u) << "the NTSTATUS, zero-extended";
  DWORD transferred = kSentinel;
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &transferred, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(transferred, 0u);
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFiles, WithoutAnEventTheFilesOwnEventIsSignalled) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  mode = Answer::Hold;
  OVERLAPPED overlapped{};
  char buffer[8];
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
  EXPECT_EQ(WaitForSingleObject(file, 10), static_cast<DWORD>(WAIT_TIMEOUT));
  machine.startThread("device", [this] { finishHeld(STATUS_SUCCESS, 5); });
  DWORD transferred = 0;
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &transferred, TRUE));
  EXPECT_EQ(transferred, 5u);
  machine.joinThreads();
  EXPECT_TRUE(CloseHandle(file));
}

// The monitor's control requests go without an OVERLAPPED on its overlapped file.
TEST_F(DeviceFiles, DeviceControlWithoutOverlappedOnAnOverlappedFileWaits) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  stack.layer(0).dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) return completeRequest(irp, STATUS_SUCCESS);
    EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kBufferedControl);
    auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(system[0], 0x01);
    system[0] = 0x18;
    hold(irp, false);
    return STATUS_PENDING;
  };
  machine.startThread("device", [this] {
    machine.sleep(20);
    finishHeld(STATUS_SUCCESS, 1);
  });
  UCHAR selector = 0x01;
  UCHAR status = 0;
  DWORD returned = kSentinel;
  EXPECT_TRUE(DeviceIoControl(file, kBufferedControl, &selector, 1, &status, 1, &returned, nullptr));
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(status, 0x18);
  machine.joinThreads();

  SetLastError(kSentinel);
  EXPECT_FALSE(DeviceIoControl(file, kBufferedControl, nullptr, 4, &status, 1, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS) << "the buffer is probed";
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(DeviceFiles, BadHandlesGiveInvalidHandle) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  char buffer[4];
  DWORD count = kSentinel;
  for (HANDLE bad :
       {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event, reinterpret_cast<HANDLE>(0x4444)}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(bad, buffer, 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DeviceIoControl(bad, kBufferedControl, nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  // An OVERLAPPED whose event is no event.
  OVERLAPPED overlapped{};
  overlapped.hEvent = file;
  EXPECT_FALSE(WriteFile(file, "x", 1, &count, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadFile(file, nullptr, 4, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOACCESS);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_FALSE(CloseHandle(file)) << "closed already";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(file, "x", 1, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(DeviceFiles, ClosingAFileCancelsItsRunningRequestsAndClosesAfterThem) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  mode = Answer::Hold;
  OVERLAPPED overlapped = overlappedWithEvent();
  char buffer[8];
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_CANCELLED)));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(machine.io().openFiles(), 0u);

  // A request that does not heed the cancel keeps the file open until it ends.
  mode = Answer::HoldUncancellable;
  file = open(FILE_FLAG_OVERLAPPED);
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
  seen.clear();
  EXPECT_TRUE(CloseHandle(file)) << "does not wait";
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CLEANUP}));
  EXPECT_EQ(machine.io().openFiles(), 1u);
  finishHeld(STATUS_SUCCESS, 3);
  machine.joinThreads();
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(overlapped.InternalHigh, 3u);
  EXPECT_EQ(machine.io().openFiles(), 0u);
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
}

// Threads of a program read through one file while another thread closes it:
// each call finds the file open or closed, never half-way, and every request
// the close catches running ends cancelled.
TEST_F(DeviceFiles, ThreadsSharingAFileThatIsClosedUnderThem) {
  HANDLE file = open(FILE_FLAG_OVERLAPPED);
  mode = Answer::Hold;
  constexpr int kReaders = 4;
  std::atomic<int> finished{0};
  std::atomic<int> refused{0};
  for (int reader = 0; reader < kReaders; reader++) {
    process.startThread("reader", [&, file] {
      OVERLAPPED overlapped{};
      overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      char buffer[8];
      // Read until the close reaches this thread: however the threads are
      // scheduled, every reader meets the closed handle in the end.
      for (;;) {
        if (ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped)) continue;
        if (GetLastError() == ERROR_INVALID_HANDLE) {
          refused++;
          break;
        }
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, INFINITE), WAIT_OBJECT_0);
      }
      CloseHandle(overlapped.hEvent);
      finished++;
    });
  }
  machine.startThread("device", [&] {
    // One answer per virtual millisecond, so the close comes while reads run.
    while (finished < kReaders) {
      finishHeld(STATUS_SUCCESS, 8);
      machine.sleep(1);
    }
  });
  machine.sleep(20);
  EXPECT_TRUE(CloseHandle(file));
  machine.joinThreads();
  EXPECT_EQ(refused, kReaders) << "every reader finds the file closed in the end";
  EXPECT_EQ(machine.io().openFiles(), 0u);
}

using DeviceFilesDeathTest = platform_test::DeathTest;

// A machine with the test device, a program and the device's held requests.
struct Program : DeviceFiles {
  void TestBody() override {}
};

TEST_F(DeviceFilesDeathTest, ProgramErrorsWithOverlappedRequestsStop) {
  EXPECT_DEATH(
      {
        Program program;
        program.SetUp();
        program.mode = Answer::Hold;
        HANDLE file = program.open(FILE_FLAG_OVERLAPPED);
        OVERLAPPED overlapped{};
        char buffer[4];
        ReadFile(file, buffer, 4, nullptr, &overlapped);
        ReadFile(file, buffer, 4, nullptr, &overlapped);
      },
      "STOP: OVERLAPPED_IN_USE.*ReadFile from .*still belongs to the running request of ReadFile");
  EXPECT_DEATH(
      {
        Program program;
        program.SetUp();
        program.mode = Answer::Hold;
        HANDLE file = program.open(FILE_FLAG_OVERLAPPED);
        auto* overlapped = static_cast<LPOVERLAPPED>(LocalAlloc(LPTR, sizeof(OVERLAPPED)));
        char buffer[4];
        ReadFile(file, buffer, 4, nullptr, overlapped);
        LocalFree(overlapped);
      },
      "STOP: FREED_MEMORY_IN_USE.*LocalFree.*OVERLAPPED.*request still runs");
  EXPECT_DEATH(
      {
        Program program;
        program.SetUp();
        program.mode = Answer::Hold;
        HANDLE file = program.open(FILE_FLAG_OVERLAPPED);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buffer[4];
        ReadFile(file, buffer, 4, nullptr, &overlapped);
        SetEvent(overlapped.hEvent);
        DWORD transferred;
        GetOverlappedResult(file, &overlapped, &transferred, TRUE);
      },
      "STOP: OVERLAPPED_NOT_COMPLETE.*signalled while its request still runs");
}

TEST_F(DeviceFilesDeathTest, CallsWindowsWouldFaultInStop) {
  EXPECT_DEATH(
      {
        Program program;
        program.SetUp();
        HANDLE file = program.open(0);
        char buffer[4];
        ReadFile(file, buffer, 4, nullptr, nullptr);
      },
      "STOP: ACCESS_VIOLATION.*ReadFile from .*lpNumberOfBytesRead is NULL");
  EXPECT_DEATH(
      {
        nrv::Machine machine(nrv::MachineOptions{nrv::OsProfile::Windows98});
        nrv::ProcessScope scope(machine.startProcess("program"));
        OVERLAPPED overlapped{};
        WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, &overlapped);
      },
      "STOP: ACCESS_VIOLATION.*WriteFile.*lpNumberOfBytesWritten is NULL");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("program"));
        CreateFileA("WIN.INI", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      },
      "STOP: NOT_IMPLEMENTED.*\"WIN.INI\".*no current directory");
}

}  // namespace
