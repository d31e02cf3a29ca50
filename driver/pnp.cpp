// Plug and Play of the printer FDO: AddDevice and the minor codes, with the
// device-state flags that decide who may send I/O when. Requests for the
// child printer device are answered by child_device.cpp.
#include "bulk_transfer.h"
#include "printer_class.h"

// The stored device ID is read this far to learn whether there is one.
#define DEVICE_ID_PEEK_LENGTH 256

// ---------------------------------------------------------------- AddDevice

// The deepest state below D3 that the light sleep states map to.
static DEVICE_POWER_STATE PLMUSB_SleepLevel(PDEVICE_CAPABILITIES Capabilities) {
  DEVICE_POWER_STATE level = PowerDeviceUnspecified;

  for (int state = PowerSystemSleeping1; state <= PowerSystemSleeping3; state++) {
    if (Capabilities->DeviceState[state] < PowerDeviceD3) {
      level = Capabilities->DeviceState[state];
    }
  }
  return level;
}

// The creation names the printer and enters it in the list of port names.
NTSTATUS PLMUSB_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice) {
  CHAR portName[PORT_NAME_BUFFER_SIZE] = {0};
  PDEVICE_OBJECT deviceObject = NULL;
  PDeviceExtension extension;
  USBD_VERSION_INFORMATION version;
  NTSTATUS status;

  status = PLMUSB_CreateDeviceObject(DriverObject, PhysicalDevice, &deviceObject, portName);
  if (NT_SUCCESS(status)) {
    extension = PLMUSB_Extension(deviceObject);
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    extension->IsChildDevice = FALSE;
    extension->PhysicalDevice = PhysicalDevice;
    extension->DriverObject = DriverObject;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDevice);
    if (extension->LowerDevice == NULL) {
      // Nothing to pass requests to: the device is not taken.
      PLMUSB_RemoveDevice(deviceObject);
      IoDeleteDevice(deviceObject);
      return STATUS_NO_SUCH_DEVICE;
    }
    PLMUSB_QueryCapabilities(PhysicalDevice, &extension->DeviceCapabilities);
    extension->PowerDownLevel = PLMUSB_SleepLevel(&extension->DeviceCapabilities);
    // The baseline count, given back only by remove.
    PLMUSB_IncrementIoCount(deviceObject);
  }
  USBD_GetUSBDIVersion(&version);
  if (NT_SUCCESS(status)) {
    PLMUSB_SelfSuspendOrActivate(deviceObject, TRUE);
  }
  return status;
}

// ---------------------------------------------------------------- start, stop, remove

// Reads the device descriptor into a new copy, which replaces the copy of an
// earlier start, and records whether the printer has a serial number.
static NTSTATUS PLMUSB_ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  ULONG size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, NRVUSB_POOL_TAG);
  PUSB_DEVICE_DESCRIPTOR descriptor =
      (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), NRVUSB_POOL_TAG);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

  if (urb != NULL && descriptor != NULL) {
    UsbBuildGetDescriptorRequest(urb, (USHORT)size, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor, NULL,
                                 sizeof(USB_DEVICE_DESCRIPTOR), NULL);
    status = PLMUSB_CallUSBD(DeviceObject, urb);
  }
  if (NT_SUCCESS(status)) {
    if (extension->DeviceDescriptor != NULL) {
      ExFreePool(extension->DeviceDescriptor);
    }
    extension->DeviceDescriptor = descriptor;
    descriptor = NULL;
    PLMUSB_SetSerialRegValue(DeviceObject, extension->DeviceDescriptor->iSerialNumber);
  }
  if (urb != NULL) {
    ExFreePool(urb);
  }
  if (descriptor != NULL) {
    ExFreePool(descriptor);
  }
  return status;
}

NTSTATUS PLMUSB_StartDevice(PDEVICE_OBJECT DeviceObject) {
  NTSTATUS status = PLMUSB_ReadDeviceDescriptor(DeviceObject);

  if (NT_SUCCESS(status)) {
    status = PLMUSB_ConfigureDevice(DeviceObject);
  }
  if (NT_SUCCESS(status)) {
    PLMUSB_Extension(DeviceObject)->DeviceStarted = TRUE;
  }
  return status;
}

// Unconfigures the printer: a select-configuration request without a descriptor.
NTSTATUS PLMUSB_StopDevice(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  ULONG size = sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, NRVUSB_POOL_TAG);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

  if (urb != NULL) {
    RtlZeroMemory(urb, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
    status = PLMUSB_CallUSBD(DeviceObject, urb);
    ExFreePool(urb);
  }
  if (NT_SUCCESS(status)) {
    extension->DeviceStarted = FALSE;
  }
  extension->StopPending = FALSE;
  return status;
}

static VOID PLMUSB_FreeCopy(PVOID *Copy) {
  if (*Copy != NULL) {
    ExFreePool(*Copy);
    *Copy = NULL;
  }
}

NTSTATUS PLMUSB_RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  UNICODE_STRING link;
  NTSTATUS status;

  RtlInitUnicodeString(&link, extension->InterfaceLinkName);
  status = IoSetDeviceInterfaceState(&link, FALSE);
  PLMUSB_FreeCopy((PVOID *)&extension->DeviceDescriptor);
  PLMUSB_FreeCopy((PVOID *)&extension->InterfaceInfo);
  PLMUSB_FreeCopy((PVOID *)&extension->ConfigurationDescriptor);
  // Every transfer has finished by now; a context left over is freed whole.
  if (extension->WriteContext != NULL) {
    PLMUSB_FreeTransfer(extension->WriteContext);
    extension->WriteContext = NULL;
  }
  if (extension->ReadContext != NULL) {
    PLMUSB_FreeTransfer(extension->ReadContext);
    extension->ReadContext = NULL;
  }
  if (extension->ChildDevice != NULL) {
    IoDeleteDevice(extension->ChildDevice);
    extension->ChildDevice = NULL;
  }
  PLMUSB_RemoveFromDeviceList(DeviceObject);
  return status;
}

// ---------------------------------------------------------------- dispatch

static NTSTATUS PLMUSB_PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;

  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(PLMUSB_Extension(DeviceObject)->LowerDevice, Irp);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

static NTSTATUS PLMUSB_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  PLMUSB_DecrementIoCount(DeviceObject);
  return Status;
}

// The bus starts the device first; the printer is then read, configured and
// identified. The device ID is fetched even when the start failed.
static NTSTATUS PLMUSB_HandleStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  PLMUSB_ForwardAndWait(extension->LowerDevice, Irp);
  status = PLMUSB_StartDevice(DeviceObject);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  PLMUSB_WriteDeviceTypeRegister(DeviceObject);
  PLMUSB_SetDeviceID(DeviceObject);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

static NTSTATUS PLMUSB_HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PDEVICE_OBJECT lowerDevice = extension->LowerDevice;
  NTSTATUS status;

  PLMUSB_DecrementIoCount(DeviceObject);
  extension->DeviceRemoved = TRUE;
  PLMUSB_CancelPendingIo(DeviceObject);
  PLMUSB_AbortPipes(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lowerDevice, Irp);
  // The baseline goes; then every request still inside the driver leaves.
  PLMUSB_DecrementIoCount(DeviceObject);
  PLMUSB_WaitForEvent(&extension->IoCountZeroEvent, NULL);
  PLMUSB_RemoveDevice(DeviceObject);
  IoDetachDevice(lowerDevice);
  IoDeleteDevice(DeviceObject);
  return status;
}

static NTSTATUS PLMUSB_HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);

  PLMUSB_DecrementIoCount(DeviceObject);
  // Set first, so that nothing new is admitted while the running requests end.
  extension->DeviceRemoved = TRUE;
  PLMUSB_CancelPendingIo(DeviceObject);
  PLMUSB_AbortPipes(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(extension->LowerDevice, Irp);
}

static NTSTATUS PLMUSB_HandleStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;

  PLMUSB_CancelPendingIo(DeviceObject);
  status = PLMUSB_StopDevice(DeviceObject);
  if (!NT_SUCCESS(status)) {
    return PLMUSB_Complete(DeviceObject, Irp, status);
  }
  return PLMUSB_PassDown(DeviceObject, Irp);
}

static NTSTATUS PLMUSB_HandleQueryStop(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);

  if (extension->DeviceStarted) {
    if (extension->WriteContext != NULL || extension->ReadContext != NULL) {
      return PLMUSB_Complete(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
    }
    extension->StopPending = TRUE;
  }
  return PLMUSB_PassDown(DeviceObject, Irp);
}

static NTSTATUS PLMUSB_HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);

  if (extension->DeviceStarted) {
    extension->RemovePending = TRUE;
    // Only this request and the baseline may still count.
    PLMUSB_WaitForEvent(&extension->IoCountOneEvent, NULL);
  }
  return PLMUSB_PassDown(DeviceObject, Irp);
}

// Relations are answered only once the printer has a port name and its device
// ID is known; without them it reports no child. The child's instance is the
// port name, and a printer named later is asked again.
static NTSTATUS PLMUSB_HandleRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_OBJECT physicalDevice = PLMUSB_Extension(DeviceObject)->PhysicalDevice;
  CHAR deviceId[DEVICE_ID_PEEK_LENGTH + 1] = {0};

  if (PLMUSB_Extension(DeviceObject)->WaitingForPortName) {
    return PLMUSB_PassDown(DeviceObject, Irp);
  }

  PLMUSB_GetDeviceKeyValue(physicalDevice, L"DeviceID", deviceId, DEVICE_ID_PEEK_LENGTH);
  if (deviceId[0] == 0) {
    PLMUSB_SetDeviceID(DeviceObject);
    PLMUSB_GetDeviceKeyValue(physicalDevice, L"DeviceID", deviceId, DEVICE_ID_PEEK_LENGTH);
  }
  if (deviceId[0] == 0) {
    return PLMUSB_PassDown(DeviceObject, Irp);
  }
  return PLMUSB_Complete(DeviceObject, Irp, PLMUSB_QueryDeviceRelations(DeviceObject, Irp));
}

// Whatever the bus says, the printer may be pulled out at any time and wakes nothing.
static NTSTATUS PLMUSB_HandleCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  NTSTATUS status = PLMUSB_ForwardAndWait(PLMUSB_Extension(DeviceObject)->LowerDevice, Irp);

  capabilities->SystemWake = PowerSystemUnspecified;
  capabilities->DeviceWake = PowerDeviceUnspecified;
  capabilities->SurpriseRemovalOK = TRUE;
  return PLMUSB_Complete(DeviceObject, Irp, status);
}

NTSTATUS PLMUSB_ProcessPnPIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  if (PLMUSB_DispatchForChild(DeviceObject, Irp, &status)) {
    return status;
  }
  PLMUSB_IncrementIoCount(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return PLMUSB_HandleStart(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return PLMUSB_HandleQueryRemove(DeviceObject, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return PLMUSB_HandleRemove(DeviceObject, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (extension->DeviceStarted) {
        extension->RemovePending = FALSE;
      }
      return PLMUSB_PassDown(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
      return PLMUSB_HandleStop(DeviceObject, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return PLMUSB_HandleQueryStop(DeviceObject, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (extension->DeviceStarted) {
        extension->StopPending = FALSE;
      }
      return PLMUSB_PassDown(DeviceObject, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      return PLMUSB_HandleRelations(DeviceObject, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return PLMUSB_HandleCapabilities(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return PLMUSB_HandleSurpriseRemoval(DeviceObject, Irp);
    default:
      return PLMUSB_PassDown(DeviceObject, Irp);
  }
}
