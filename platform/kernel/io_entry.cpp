#include "kernel/io_entry.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/text.h"
#include "kernel/device_interfaces.h"
#include "kernel/device_objects.h"
#include "kernel/irp_tracker.h"
#include "kernel/mdl_tracker.h"

namespace nrv {

PendingRequest::~PendingRequest() {
  if (irp_ == nullptr) return;
  wait();
  irps_->release(irp_, "the I/O entry", nullptr);
}

bool PendingRequest::completed() { return KeReadStateEvent(&done_) != 0; }

bool PendingRequest::wait(uint64_t milliseconds) {
  if (milliseconds == UINT64_MAX) return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr) == 0;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds * Scheduler::kUnitsPerMillisecond);
  return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool PendingRequest::cancel() { return IoCancelIrp(irp_) != FALSE; }

IoEntry::IoEntry(DeviceObjects& devices, IrpTracker& irps, MdlTracker& mdls, DeviceInterfaces& interfaces,
                 std::function<void(PDEVICE_OBJECT physicalDevice)> fileClosed)
    : devices_(devices),
      irps_(irps),
      mdls_(mdls),
      interfaces_(interfaces),
      fileClosed_(std::move(fileClosed)) {}

std::unique_ptr<PendingRequest> IoEntry::start(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                                               const RequestSetup& setup, CompletionNotice notice) {
  devices_.lookup(device, "the I/O entry");
  auto request = std::make_unique<PendingRequest>();
  KeInitializeEvent(&request->done_, NotificationEvent, FALSE);
  PIRP irp = irps_.allocate(device->StackSize, IrpOrigin::IoEntry, __builtin_return_address(0), nullptr);
  if (irp == nullptr) bugCheck("NO_MEMORY", "the host has no memory for an IRP");
  irp->UserIosb = &request->status_;
  irp->UserEvent = &request->done_;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  stack->FileObject = file;
  if (setup) setup(irp, stack);
  if (notice) irps_.lookup(irp, "the I/O entry").completionNotice = std::move(notice);
  request->irps_ = &irps_;
  request->irp_ = irp;
  request->returned_ = IofCallDriver(device, irp);
  return request;
}

IrpOutcome IoEntry::call(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                         const RequestSetup& setup) {
  std::unique_ptr<PendingRequest> request = start(device, major, minor, file, setup);
  request->wait();
  return IrpOutcome{request->returned(), request->status()};
}

NTSTATUS IoEntry::open(const std::u16string& linkName, const std::u16string& fileName, PFILE_OBJECT* file) {
  *file = nullptr;
  const InterfaceRecord* target = interfaces_.findEnabled(linkName);
  if (target == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT device = target->physicalDevice;

  OpenFile entry{std::make_unique<FILE_OBJECT>(), fileName, device};
  PFILE_OBJECT object = entry.object.get();
  *object = FILE_OBJECT{};
  object->Type = IO_TYPE_FILE;
  object->Size = sizeof(FILE_OBJECT);
  object->DeviceObject = device;
  object->ReadAccess = object->WriteAccess = TRUE;
  KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto placed = files_.emplace(object, std::move(entry)).first;
    setUnicodeString(object->FileName, placed->second.name);
    if (placed->second.name.empty()) object->FileName.MaximumLength = 0;
  }
  IrpOutcome outcome = call(devices_.top(device), IRP_MJ_CREATE, 0, object);
  if (!NT_SUCCESS(outcome.status.Status)) {
    std::lock_guard<std::mutex> guard(lock_);
    files_.erase(object);
    return outcome.status.Status;
  }
  *file = object;
  return outcome.status.Status;
}

void IoEntry::close(PFILE_OBJECT file) {
  cleanup(file);
  closeAfterCleanup(file);
}

PDEVICE_OBJECT IoEntry::deviceOf(PFILE_OBJECT file, const char* service) {
  std::lock_guard<std::mutex> guard(lock_);
  auto found = files_.find(file);
  if (found == files_.end()) {
    bugCheck("INVALID_HANDLE", format("%s on %p, which is not an open file", service, static_cast<void*>(file)));
  }
  return found->second.device;
}

void IoEntry::cleanup(PFILE_OBJECT file) { call(devices_.top(deviceOf(file, "cleanup")), IRP_MJ_CLEANUP, 0, file); }

void IoEntry::closeAfterCleanup(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = deviceOf(file, "close");
  call(devices_.top(device), IRP_MJ_CLOSE, 0, file);
  {
    std::lock_guard<std::mutex> guard(lock_);
    files_.erase(file);
  }
  // A device that left its bus is removed once its last handle is closed.
  fileClosed_(device);
}

void IoEntry::closeAll() {
  for (;;) {
    PFILE_OBJECT file;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (files_.empty()) return;
      file = files_.begin()->first;
    }
    close(file);
  }
}

size_t IoEntry::openFiles() {
  std::lock_guard<std::mutex> guard(lock_);
  return files_.size();
}

size_t IoEntry::openFilesOn(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::count_if(files_.begin(), files_.end(), [device](const auto& file) { return file.second.device == device; });
}

// A system buffer the I/O manager copies back to output (when not null) on success.
void IoEntry::attachSystemBuffer(PIRP irp, const void* input, ULONG inputLength, void* output,
                                 ULONG outputLength, bool transfer) {
  ULONG length = inputLength > outputLength ? inputLength : outputLength;
  if (length == 0) return;
  void* buffer = std::calloc(1, length);
  if (buffer == nullptr) bugCheck("NO_MEMORY", "the host has no memory for a system buffer");
  if (input != nullptr && inputLength != 0) {
    memcpy(buffer, input, inputLength);
    irps_.copies().count(transfer ? CopyKind::WriteIn : CopyKind::ControlInput, inputLength);
  }
  IrpRecord& record = irps_.lookup(irp, "the I/O entry");
  irp->AssociatedIrp.SystemBuffer = buffer;
  record.systemBuffer = buffer;
  record.userOutput = output;
  record.outputLength = outputLength;
  record.copyBack = transfer ? CopyKind::ReadOut : CopyKind::ControlOutput;
}

// The MDL the I/O manager builds over a probed and locked caller buffer.
void IoEntry::attachMdl(PIRP irp, void* buffer, ULONG length) {
  if (length == 0) return;
  PMDL mdl = mdls_.allocate(buffer, length, nullptr, "the I/O manager");
  if (mdl == nullptr) bugCheck("NO_MEMORY", "the host has no memory for an MDL");
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  irp->MdlAddress = mdl;
}

PDEVICE_OBJECT IoEntry::topOf(PFILE_OBJECT file, const char* service) { return devices_.top(deviceOf(file, service)); }

std::unique_ptr<PendingRequest> IoEntry::startTransfer(PFILE_OBJECT file, UCHAR major, void* buffer, ULONG length,
                                                       CompletionNotice notice) {
  PDEVICE_OBJECT top = topOf(file, major == IRP_MJ_READ ? "ReadFile" : "WriteFile");
  ULONG flags = top->Flags;
  auto setup = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    irp->UserBuffer = buffer;
    if (flags & DO_DIRECT_IO) {
      attachMdl(irp, buffer, length);
    } else if (flags & DO_BUFFERED_IO) {
      if (major == IRP_MJ_READ)
        attachSystemBuffer(irp, nullptr, 0, buffer, length, true);
      else
        attachSystemBuffer(irp, buffer, length, nullptr, length, true);
    }
  };
  return start(top, major, 0, file, setup, std::move(notice));
}

std::unique_ptr<PendingRequest> IoEntry::startRead(PFILE_OBJECT file, void* buffer, ULONG length,
                                                   CompletionNotice notice) {
  return startTransfer(file, IRP_MJ_READ, buffer, length, std::move(notice));
}

std::unique_ptr<PendingRequest> IoEntry::startWrite(PFILE_OBJECT file, const void* buffer, ULONG length,
                                                    CompletionNotice notice) {
  return startTransfer(file, IRP_MJ_WRITE, const_cast<void*>(buffer), length, std::move(notice));
}

std::unique_ptr<PendingRequest> IoEntry::startDeviceControl(PFILE_OBJECT file, ULONG code, const void* input,
                                                            ULONG inputLength, void* output, ULONG outputLength,
                                                            CompletionNotice notice) {
  PDEVICE_OBJECT top = topOf(file, "DeviceIoControl");
  auto setup = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    switch (code & 3) {
      case METHOD_BUFFERED:
        attachSystemBuffer(irp, input, inputLength, output, outputLength);
        break;
      case METHOD_IN_DIRECT:
      case METHOD_OUT_DIRECT:
        attachSystemBuffer(irp, input, inputLength, nullptr, 0);
        // Output goes through the MDL; Information still may not exceed it.
        if (irp->AssociatedIrp.SystemBuffer != nullptr) {
          irps_.lookup(irp, "the I/O entry").outputLength = outputLength;
        }
        attachMdl(irp, output, outputLength);
        break;
      default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        irp->UserBuffer = output;
        break;
    }
  };
  return start(top, IRP_MJ_DEVICE_CONTROL, 0, file, setup, std::move(notice));
}

IrpOutcome IoEntry::waitFor(std::unique_ptr<PendingRequest> request) {
  request->wait();
  return IrpOutcome{request->returned(), request->status()};
}

IrpOutcome IoEntry::read(PFILE_OBJECT file, void* buffer, ULONG length) {
  return waitFor(startRead(file, buffer, length));
}

IrpOutcome IoEntry::write(PFILE_OBJECT file, const void* buffer, ULONG length) {
  return waitFor(startWrite(file, buffer, length));
}

IrpOutcome IoEntry::deviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                                  ULONG outputLength) {
  return waitFor(startDeviceControl(file, code, input, inputLength, output, outputLength));
}

}  // namespace nrv
