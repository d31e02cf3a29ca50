// The machine's I/O entry: what the I/O manager does for a caller above the
// drivers. Tests (and later the user-mode layer) open devices by interface link
// name, close them, and send any request, synchronously or not.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/irp_tracker.h"

namespace nrv {

class DeviceInterfaces;
class DeviceObjects;
class MdlTracker;

// Fills the first stack location (and, if needed, the IRP) before sending.
using RequestSetup = std::function<void(PIRP irp, PIO_STACK_LOCATION stack)>;

struct IrpOutcome {
  NTSTATUS returned;       // what IoCallDriver returned
  IO_STATUS_BLOCK status;  // what the request completed with
};

// A request that has been sent; the IRP lives until this object goes away.
class PendingRequest {
 public:
  PendingRequest() = default;
  PendingRequest(const PendingRequest&) = delete;
  PendingRequest& operator=(const PendingRequest&) = delete;
  // Waits for completion (a request that never ends is reported as a deadlock) and frees the IRP.
  ~PendingRequest();

  PIRP irp() const { return irp_; }
  NTSTATUS returned() const { return returned_; }
  bool completed();
  // Waits in virtual time; false when the time ran out first.
  bool wait(uint64_t milliseconds = UINT64_MAX);
  const IO_STATUS_BLOCK& status() const { return status_; }
  // IoCancelIrp on the request, as CancelIo does.
  bool cancel();

 private:
  friend class IoEntry;
  IrpTracker* irps_ = nullptr;
  PIRP irp_ = nullptr;
  NTSTATUS returned_ = STATUS_PENDING;
  KEVENT done_{};
  IO_STATUS_BLOCK status_{};
};

class IoEntry {
 public:
  // fileClosed hears of every close, for devices that wait for their last handle to go.
  IoEntry(DeviceObjects& devices, IrpTracker& irps, MdlTracker& mdls, DeviceInterfaces& interfaces,
          std::function<void(PDEVICE_OBJECT physicalDevice)> fileClosed);
  IoEntry(const IoEntry&) = delete;
  IoEntry& operator=(const IoEntry&) = delete;

  // Opens the device behind an enabled interface; fileName is what follows the
  // link name ("" or "\0"). The file object is valid until close.
  NTSTATUS open(const std::u16string& linkName, const std::u16string& fileName, PFILE_OBJECT* file);
  // Sends cleanup and close, as the last handle goes away.
  void close(PFILE_OBJECT file);
  // The two halves of close, for a caller whose requests outlive the handle:
  // cleanup as the last handle goes, close once its last request has ended.
  void cleanup(PFILE_OBJECT file);
  void closeAfterCleanup(PFILE_OBJECT file);
  void closeAll();
  size_t openFiles();
  // Open files on the stack of this physical device.
  size_t openFilesOn(PDEVICE_OBJECT device);

  // notice, when given, hears of the completion on the completing thread.
  std::unique_ptr<PendingRequest> start(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                                        const RequestSetup& setup = nullptr, CompletionNotice notice = nullptr);
  IrpOutcome call(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file = nullptr,
                  const RequestSetup& setup = nullptr);

  // ReadFile, WriteFile and DeviceIoControl on an open file, sent to the top
  // of its device's stack. Reads and writes follow the top device's flags:
  // DO_DIRECT_IO gets an MDL over the caller's buffer (none for 0 bytes),
  // DO_BUFFERED_IO a system buffer, neither the caller's buffer as UserBuffer.
  // Control codes follow their method; METHOD_BUFFERED uses one system buffer
  // of the larger length and copies Information bytes back on success.
  // The buffers must outlive the request.
  std::unique_ptr<PendingRequest> startRead(PFILE_OBJECT file, void* buffer, ULONG length,
                                            CompletionNotice notice = nullptr);
  std::unique_ptr<PendingRequest> startWrite(PFILE_OBJECT file, const void* buffer, ULONG length,
                                             CompletionNotice notice = nullptr);
  std::unique_ptr<PendingRequest> startDeviceControl(PFILE_OBJECT file, ULONG code, const void* input,
                                                     ULONG inputLength, void* output, ULONG outputLength,
                                                     CompletionNotice notice = nullptr);
  IrpOutcome read(PFILE_OBJECT file, void* buffer, ULONG length);
  IrpOutcome write(PFILE_OBJECT file, const void* buffer, ULONG length);
  IrpOutcome deviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength);

 private:
  struct OpenFile {
    std::unique_ptr<FILE_OBJECT> object;
    std::u16string name;
    PDEVICE_OBJECT device;  // the device the name resolved to
  };

  PDEVICE_OBJECT topOf(PFILE_OBJECT file, const char* service);
  // transfer: the buffer carries a read's or a write's data rather than a control code's.
  void attachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                          bool transfer = false);
  void attachMdl(PIRP irp, void* buffer, ULONG length);
  std::unique_ptr<PendingRequest> startTransfer(PFILE_OBJECT file, UCHAR major, void* buffer, ULONG length,
                                                CompletionNotice notice);
  PDEVICE_OBJECT deviceOf(PFILE_OBJECT file, const char* service);
  static IrpOutcome waitFor(std::unique_ptr<PendingRequest> request);

  DeviceObjects& devices_;
  IrpTracker& irps_;
  MdlTracker& mdls_;
  DeviceInterfaces& interfaces_;
  std::function<void(PDEVICE_OBJECT)> fileClosed_;
  std::mutex lock_;
  std::map<PFILE_OBJECT, OpenFile> files_;
};

}  // namespace nrv
