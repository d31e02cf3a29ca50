#include "kernel/physical_device.h"

#include "kernel/bus_power.h"

namespace nrv {

PhysicalDevice::PhysicalDevice(PDEVICE_OBJECT object, std::u16string instancePath, BusPower& power)
    : object_(object), instancePath_(std::move(instancePath)), power_(power) {}

void PhysicalDevice::setHandler(RequestHandler handler) {
  std::lock_guard<std::mutex> guard(lock_);
  handler_ = std::move(handler);
}

std::vector<SeenRequest> PhysicalDevice::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

NTSTATUS PhysicalDevice::dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RequestHandler handler;
  {
    std::lock_guard<std::mutex> guard(lock_);
    bool control = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                   stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    requests_.push_back(SeenRequest{stack->MajorFunction, stack->MinorFunction,
                                    control ? stack->Parameters.DeviceIoControl.IoControlCode : 0});
    handler = handler_;
  }
  return handler ? handler(irp) : answerAsBusDriver(irp);
}

// A bus driver leaves the status of Plug and Play, power and WMI requests it
// does not serve as it found it; opening the bare device is allowed.
NTSTATUS PhysicalDevice::answerAsBusDriver(PIRP irp) {
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_POWER:
      return power_.answer(irp);
    case IRP_MJ_PNP:
    case IRP_MJ_SYSTEM_CONTROL:
      status = irp->IoStatus.Status;
      break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      status = STATUS_SUCCESS;
      irp->IoStatus.Information = 0;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      irp->IoStatus.Information = 0;
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace nrv
