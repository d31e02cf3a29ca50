// Plug and Play requests to a USB device's physical device object, answered
// as the hub driver answers them for a device on one of its ports.
#include "kernel/pool.h"
#include "usb/usb_device.h"

namespace nrv {

namespace {
constexpr ULONG kBusTag = 0x20627548;  // "Hub "
}  // namespace

// What a USB hub reports for a self-powered device without remote wake-up:
// D2 in the light sleep states, D3 in hibernation and at shutdown.
void UsbDevice::fillCapabilities(DEVICE_CAPABILITIES& capabilities) const {
  capabilities.Removable = TRUE;
  capabilities.UniqueID = model_->description().serialNumber.has_value();
  capabilities.Address = port_;
  capabilities.UINumber = port_;
  capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; state++) {
    capabilities.DeviceState[state] = PowerDeviceD2;
  }
  capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  capabilities.SystemWake = PowerSystemUnspecified;
  capabilities.DeviceWake = PowerDeviceUnspecified;
  capabilities.DeviceD2 = TRUE;
}

NTSTATUS UsbDevice::pnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // The port forgets the device's configuration; the device object stays while it is plugged in.
      std::lock_guard<std::mutex> guard(lock_);
      forgetConfiguration();
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == nullptr || capabilities->Version != 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      fillCapabilities(*capabilities);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto* relations = static_cast<PDEVICE_RELATIONS>(
            allocatePool(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag, nullptr, "the USB hub"));
        if (relations == nullptr) {
          status = STATUS_INSUFFICIENT_RESOURCES;
          break;
        }
        relations->Count = 1;
        relations->Objects[0] = pdo();
        ObReferenceObject(pdo());
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        status = STATUS_SUCCESS;
      }
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace nrv
