// Pipe look-ups and the requests that clear, empty or revive the printer's pipes
// and port. All of them wait for the USB stack and run at passive level.
#include "nrvusb.h"

static PUSBD_PIPE_INFORMATION PLMUSB_GetBulkPipe(PDEVICE_OBJECT DeviceObject, BOOLEAN In) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = PLMUSB_Extension(DeviceObject)->InterfaceInfo;

  if (interfaceInfo == NULL) {
    return NULL;
  }
  for (ULONG index = 0; index < interfaceInfo->NumberOfPipes; index++) {
    PUSBD_PIPE_INFORMATION pipe = &interfaceInfo->Pipes[index];
    if (pipe->PipeType == UsbdPipeTypeBulk && (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) != 0) == In) {
      return pipe;
    }
  }
  return NULL;
}

PUSBD_PIPE_INFORMATION PLMUSB_GetBulkOutPipe(PDEVICE_OBJECT DeviceObject) {
  return PLMUSB_GetBulkPipe(DeviceObject, FALSE);
}

PUSBD_PIPE_INFORMATION PLMUSB_GetBulkInPipe(PDEVICE_OBJECT DeviceObject) {
  return PLMUSB_GetBulkPipe(DeviceObject, TRUE);
}

// Sends a reset-pipe or abort-pipe request for one pipe and waits for it.
NTSTATUS PLMUSB_SendPipeRequest(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, USHORT Function) {
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST), NRVUSB_POOL_TAG);
  NTSTATUS status;

  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = Function;
  urb->UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
  status = PLMUSB_CallUSBD(DeviceObject, urb);
  ExFreePool(urb);
  return status;
}

NTSTATUS PLMUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  return PLMUSB_SendPipeRequest(DeviceObject, Pipe, URB_FUNCTION_RESET_PIPE);
}

// Ends the transfers of every pipe bound to an open handle.
NTSTATUS PLMUSB_AbortPipes(PDEVICE_OBJECT DeviceObject) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = PLMUSB_Extension(DeviceObject)->InterfaceInfo;
  NTSTATUS status = STATUS_SUCCESS;

  if (interfaceInfo == NULL) {
    return STATUS_SUCCESS;
  }
  for (ULONG index = 0; index < interfaceInfo->NumberOfPipes; index++) {
    PUSBD_PIPE_INFORMATION pipe = &interfaceInfo->Pipes[index];
    if (pipe->PipeFlags == 0) {
      continue;
    }
    status = PLMUSB_SendPipeRequest(DeviceObject, pipe, URB_FUNCTION_ABORT_PIPE);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    pipe->PipeFlags = 0;
  }
  return status;
}

// Sends an internal request about the printer's port to the hub and waits for it.
static NTSTATUS PLMUSB_CallPort(PDEVICE_OBJECT DeviceObject, ULONG ControlCode, PVOID Argument) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp;
  NTSTATUS status;

  KeInitializeEvent(&event, NotificationEvent, FALSE);
  irp = IoBuildDeviceIoControlRequest(ControlCode, extension->LowerDevice, NULL, 0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;
  status = IoCallDriver(extension->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    PLMUSB_WaitForEvent(&event, NULL);
    status = ioStatus.Status;
  }
  return status;
}

NTSTATUS PLMUSB_GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus) {
  *PortStatus = 0;
  return PLMUSB_CallPort(DeviceObject, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

NTSTATUS PLMUSB_ResetParentPort(PDEVICE_OBJECT DeviceObject) {
  return PLMUSB_CallPort(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
}

// A printer still plugged in whose port the hub disabled gets its port reset.
VOID PLMUSB_ResetDevice(PDEVICE_OBJECT DeviceObject) {
  ULONG portStatus;

  if (!NT_SUCCESS(PLMUSB_GetPortStatus(DeviceObject, &portStatus))) {
    return;
  }
  if (!(portStatus & USBD_PORT_ENABLED) && (portStatus & USBD_PORT_CONNECTED)) {
    PLMUSB_ResetParentPort(DeviceObject);
  }
}
