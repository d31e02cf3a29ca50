#include "kernel/io_entry.h"

#include "machine/bugcheck.h"
#include "machine/machine.h"
#include "machine/text.h"

namespace nrv {

PendingRequest::~PendingRequest() {
  if (irp_ == nullptr) return;
  wait();
  Machine::current().irps().release(irp_, "the I/O entry", nullptr);
}

bool PendingRequest::completed() { return KeReadStateEvent(&done_) != 0; }

bool PendingRequest::wait(uint64_t milliseconds) {
  if (milliseconds == UINT64_MAX) return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr) == 0;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds * Scheduler::kUnitsPerMillisecond);
  return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool PendingRequest::cancel() { return IoCancelIrp(irp_) != FALSE; }

std::unique_ptr<PendingRequest> IoEntry::start(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, PFILE_OBJECT file,
                                               const RequestSetup& setup) {
  Machine& machine = Machine::current();
  machine.devices().lookup(device, "the I/O entry");
  auto request = std::make_unique<PendingRequest>();
  KeInitializeEvent(&request->done_, NotificationEvent, FALSE);
  PIRP irp = machine.irps().allocate(device->StackSize, IrpOrigin::IoEntry, __builtin_return_address(0), nullptr);
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
  Machine& machine = Machine::current();
  const InterfaceRecord* target = machine.interfaces().findEnabled(linkName);
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
  IrpOutcome outcome = call(machine.devices().top(device), IRP_MJ_CREATE, 0, object);
  if (!NT_SUCCESS(outcome.status.Status)) {
    std::lock_guard<std::mutex> guard(lock_);
    files_.erase(object);
    return outcome.status.Status;
  }
  *file = object;
  return outcome.status.Status;
}

void IoEntry::close(PFILE_OBJECT file) {
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = files_.find(file);
    if (found == files_.end()) bugCheck("INVALID_HANDLE", format("close of %p, which is not an open file",
                                                                 static_cast<void*>(file)));
    device = found->second.device;
  }
  Machine& machine = Machine::current();
  PDEVICE_OBJECT top = machine.devices().top(device);
  call(top, IRP_MJ_CLEANUP, 0, file);
  call(top, IRP_MJ_CLOSE, 0, file);
  std::lock_guard<std::mutex> guard(lock_);
  files_.erase(file);
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

}  // namespace nrv
