// kernel32: reads, writes and device controls on device files, synchronous
// or overlapped, and the results of overlapped requests.
//
// An overlapped request on a file opened with FILE_FLAG_OVERLAPPED: the call
// sets Internal to STATUS_PENDING and resets the OVERLAPPED's event (the
// file's own event when hEvent is NULL). A driver that returns STATUS_PENDING
// makes the call fail with ERROR_IO_PENDING; whichever thread completes the
// request then stores Internal (the driver's NTSTATUS, zero-extended as on
// 64-bit Windows) and InternalHigh (the bytes) and signals the event. A
// request the driver fails at once is told by the call's result alone: the
// OVERLAPPED and the event are left as they are, as Windows leaves them.
// Without an OVERLAPPED, or on a file opened without the flag, the call
// waits for the end of its request, in virtual time.
#include <wdm.h>
#include <windows.h>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "kernel/io_entry.h"
#include "user/call_checks.h"
#include "user/device_file.h"
#include "user/file_handle.h"
#include "user/process.h"
#include "user/status_to_error.h"

namespace nrv {

namespace {

struct Call {
  const char* service;
  const void* caller;
};

using Starter = std::function<std::unique_ptr<PendingRequest>(CompletionNotice notice)>;

// Windows writes the count unless an OVERLAPPED takes the result, and on
// Windows 98 always.
void requireCount(Process& process, LPDWORD count, LPOVERLAPPED overlapped, const Call& call,
                  const char* name) {
  if (overlapped == nullptr || process.services().profile == OsProfile::Windows98) {
    requirePointer(count, call.service, name, call.caller);
  }
  if (count != nullptr) *count = 0;
}

// Error severity: the top two bits set (warnings and successes are not errors).
bool isError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

ULONG_PTR loadInternal(const OVERLAPPED& overlapped) {
  return __atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE);
}

// What the end of a request sets, on the completing thread: the OVERLAPPED
// and its event when the request was reported pending or succeeded, and in
// every case the signal its own caller may wait on.
CompletionNotice noticeFor(Process& process, LPOVERLAPPED overlapped, std::shared_ptr<Signal> event,
                           std::shared_ptr<Signal> done) {
  Scheduler& scheduler = process.services().scheduler;
  OverlappedInUse& inUse = process.overlappedInUse();
  return [&scheduler, &inUse, overlapped, event, done](const IO_STATUS_BLOCK& status, bool pendingReturned) {
    bool reported = !isError(status.Status) || pendingReturned;
    if (overlapped != nullptr) {
      if (reported) {
        __atomic_store_n(&overlapped->InternalHigh, status.Information, __ATOMIC_RELAXED);
        __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status.Status)),
                         __ATOMIC_RELEASE);
      }
      inUse.release(overlapped);
    }
    std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
    if (reported && event != nullptr) event->signalled = true;
    done->signalled = true;
    scheduler.stateChanged();
  };
}

BOOL finish(NTSTATUS status, ULONG_PTR information, LPDWORD count) {
  if (count != nullptr) *count = static_cast<DWORD>(information);
  if (NT_SUCCESS(status)) return TRUE;
  setLastError(win32ErrorOf(status));
  return FALSE;
}

// The event an overlapped request signals: its own, which must be an event, or the file's.
std::shared_ptr<Signal> eventFor(Process& process, DeviceFile& file, LPOVERLAPPED overlapped) {
  if (overlapped->hEvent == nullptr) return file.signal();
  std::shared_ptr<EventObject> event = process.reference<EventObject>(overlapped->hEvent);
  return event == nullptr ? nullptr : event->signal();
}

BOOL sendRequest(Process& process, const std::shared_ptr<DeviceFile>& file, LPOVERLAPPED overlapped,
                 LPDWORD count, const Call& call, const Starter& start) {
  Scheduler& scheduler = process.services().scheduler;
  std::shared_ptr<Signal> event;
  if (overlapped != nullptr) {
    event = eventFor(process, *file, overlapped);
    if (event == nullptr) {
      setLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (!file->beginCall()) {
    setLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (overlapped != nullptr) {
    process.overlappedInUse().claim(overlapped, call.service, call.caller);
    resetSignal(scheduler, *event);
    __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(STATUS_PENDING), __ATOMIC_RELEASE);
  }
  auto done = std::make_shared<Signal>();
  std::shared_ptr<PendingRequest> request = start(noticeFor(process, overlapped, event, done));
  file->track(request);
  BOOL result;
  if (overlapped != nullptr && file->overlapped() && request->returned() == STATUS_PENDING) {
    setLastError(ERROR_IO_PENDING);
    result = FALSE;
  } else {
    waitForSignal(scheduler, done, INFINITE, [call, file] {
      return format("%s from %s waits for its request on %s to end", call.service,
                    describeCodeAddress(call.caller).c_str(), file->kind());
    });
    NTSTATUS status = request->returned() == STATUS_PENDING ? request->status().Status : request->returned();
    result = finish(status, request->status().Information, count);
  }
  file->endCall();
  return result;
}

std::shared_ptr<DeviceFile> fileOf(Process& process, HANDLE handle) {
  std::shared_ptr<DeviceFile> file = process.reference<DeviceFile>(handle);
  if (file == nullptr) setLastError(ERROR_INVALID_HANDLE);
  return file;
}

BOOL transfer(bool read, HANDLE handle, void* buffer, DWORD length, LPDWORD count, LPOVERLAPPED overlapped,
              const Call& call) {
  Process& process = currentProcess(call.service);
  requireCount(process, count, overlapped, call, read ? "lpNumberOfBytesRead" : "lpNumberOfBytesWritten");
  if (process.reference<FileHandle>(handle) != nullptr) {
    checkBufferFits(process, buffer, length, call.service, call.caller);
    return readOrWriteFile(process, handle, read, buffer, length, count, overlapped, call.service,
                           call.caller);
  }
  std::shared_ptr<DeviceFile> file = fileOf(process, handle);
  if (file == nullptr) return FALSE;
  if (buffer == nullptr && length != 0) {
    setLastError(ERROR_NOACCESS);
    return FALSE;
  }
  checkBufferFits(process, buffer, length, call.service, call.caller);
  IoEntry& io = process.services().io;
  return sendRequest(process, file, overlapped, count, call, [&](CompletionNotice notice) {
    return read ? io.startRead(file->file(), buffer, length, std::move(notice))
                : io.startWrite(file->file(), buffer, length, std::move(notice));
  });
}

}  // namespace

}  // namespace nrv

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  return nrv::transfer(true, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped,
                       {"ReadFile", __builtin_return_address(0)});
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return nrv::transfer(false, hFile, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                       lpNumberOfBytesWritten, lpOverlapped, {"WriteFile", __builtin_return_address(0)});
}

// Buffered and direct codes have their buffers probed, as the I/O manager
// probes them; a code of METHOD_NEITHER hands the pointers to the driver as given.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  nrv::Call call{"DeviceIoControl", __builtin_return_address(0)};
  nrv::Process& process = nrv::currentProcess(call.service);
  nrv::requireCount(process, lpBytesReturned, lpOverlapped, call, "lpBytesReturned");
  std::shared_ptr<nrv::DeviceFile> file = nrv::fileOf(process, hDevice);
  if (file == nullptr) return FALSE;
  bool probed = (dwIoControlCode & 3) != METHOD_NEITHER;
  if (probed &&
      ((lpInBuffer == nullptr && nInBufferSize != 0) || (lpOutBuffer == nullptr && nOutBufferSize != 0))) {
    nrv::setLastError(ERROR_NOACCESS);
    return FALSE;
  }
  nrv::checkBufferFits(process, lpInBuffer, nInBufferSize, call.service, call.caller);
  nrv::checkBufferFits(process, lpOutBuffer, nOutBufferSize, call.service, call.caller);
  nrv::IoEntry& io = process.services().io;
  return nrv::sendRequest(
      process, file, lpOverlapped, lpBytesReturned, call, [&](nrv::CompletionNotice notice) {
        return io.startDeviceControl(file->file(), dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                     nOutBufferSize, std::move(notice));
      });
}

// Waits, when asked, on the OVERLAPPED's event (the file's own when hEvent is
// NULL), as Windows does; an event that was signalled while the request still
// runs was set by someone else, and the result would be garbage on Windows.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  const void* caller = __builtin_return_address(0);
  nrv::Process& process = nrv::currentProcess("GetOverlappedResult");
  nrv::requirePointer(lpOverlapped, "GetOverlappedResult", "lpOverlapped", caller);
  nrv::requirePointer(lpNumberOfBytesTransferred, "GetOverlappedResult", "lpNumberOfBytesTransferred",
                      caller);
  if (static_cast<DWORD>(nrv::loadInternal(*lpOverlapped)) == static_cast<DWORD>(STATUS_PENDING)) {
    if (!bWait) {
      nrv::setLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    HANDLE waitOn = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
    std::shared_ptr<nrv::WaitableObject> object = process.reference<nrv::WaitableObject>(waitOn);
    if (object == nullptr) {
      nrv::setLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    nrv::waitForSignal(process.services().scheduler, object->signal(), INFINITE, [caller, lpOverlapped] {
      return nrv::format("GetOverlappedResult from %s waits for the request of OVERLAPPED %p",
                         nrv::describeCodeAddress(caller).c_str(), static_cast<void*>(lpOverlapped));
    });
    if (static_cast<DWORD>(nrv::loadInternal(*lpOverlapped)) == static_cast<DWORD>(STATUS_PENDING)) {
      nrv::bugCheck(
          "OVERLAPPED_NOT_COMPLETE",
          nrv::format("GetOverlappedResult from %s: the event of OVERLAPPED %p was signalled while its "
                      "request still runs (the event is shared, or was set by the program)",
                      nrv::describeCodeAddress(caller).c_str(), static_cast<void*>(lpOverlapped)));
    }
  }
  auto status = static_cast<NTSTATUS>(static_cast<ULONG>(nrv::loadInternal(*lpOverlapped)));
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (NT_SUCCESS(status)) return TRUE;
  nrv::setLastError(nrv::win32ErrorOf(status));
  return FALSE;
}

}  // extern "C"
