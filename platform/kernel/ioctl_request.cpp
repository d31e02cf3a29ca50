// Device-control requests a driver builds for the device below it: the I/O
// manager owns them, copies the status and any buffered output back, signals
// the caller's event and frees them when they complete.
#include <wdm.h>

#include <cstdlib>

#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/irp_tracker.h"

namespace {

constexpr ULONG kIrpTag = 0x20707249;  // "Irp "

ULONG transferMethod(ULONG code) { return code & 3; }

PDRIVER_OBJECT runningDriver() {
  nrv::ThreadRecord* thread = nrv::currentThreadOrNull();
  return thread == nullptr || thread->driverCalls.empty() ? nullptr : thread->driverCalls.back();
}

}  // namespace

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  nrv::KernelParts& kernel = nrv::currentKernel();
  kernel.devices.lookup(DeviceObject, "IoBuildDeviceIoControlRequest");
  ULONG method = transferMethod(IoControlCode);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    nrv::bugCheck("NOT_IMPLEMENTED", nrv::format("IoBuildDeviceIoControlRequest: control code 0x%08X uses direct "
                                                 "I/O, which this machine does not build",
                                                 static_cast<unsigned>(IoControlCode)));
  }
  if (kernel.faults.shouldFail(nrv::FaultKind::Irp, kIrpTag)) return nullptr;

  // Buffered requests carry one system buffer large enough for either direction.
  void* systemBuffer = nullptr;
  ULONG bufferLength = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
  if (method == METHOD_BUFFERED && bufferLength != 0) {
    systemBuffer = std::calloc(1, bufferLength);
    if (systemBuffer == nullptr) return nullptr;
    if (InputBuffer != nullptr) {
      memcpy(systemBuffer, InputBuffer, InputBufferLength);
      kernel.irps.copies().count(nrv::CopyKind::ControlInput, InputBufferLength);
    }
  }
  PIRP irp = kernel.irps.allocate(DeviceObject->StackSize, nrv::IrpOrigin::IoManager,
                                  __builtin_return_address(0), runningDriver());
  if (irp == nullptr) {
    std::free(systemBuffer);
    return nullptr;
  }

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (method == METHOD_BUFFERED) {
    nrv::IrpRecord& record = kernel.irps.lookup(irp, "IoBuildDeviceIoControlRequest");
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    record.systemBuffer = systemBuffer;
    record.userOutput = OutputBuffer;
    record.outputLength = OutputBufferLength;
  } else {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  return irp;
}
