// Device-control requests: the driver's interface to the port monitor. Every
// request is finished before the dispatch routine returns.
#include "printer_class.h"
#include "usbprn_ioctl.h"

// A control transfer carries at most this many bytes.
#define MAX_CONTROL_TRANSFER 0xFFFF

typedef NTSTATUS (*IoctlHandler)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static PVOID PLMUSB_Buffer(PIRP Irp) { return Irp->AssociatedIrp.SystemBuffer; }

static ULONG PLMUSB_InputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

static ULONG PLMUSB_OutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// Every handler stores its status in the request and returns the same value.
static NTSTATUS PLMUSB_Answer(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  return Status;
}

static NTSTATUS PLMUSB_AnswerBytes(PIRP Irp, const VOID *Data, ULONG Length) {
  memcpy(PLMUSB_Buffer(Irp), Data, Length);
  return PLMUSB_Answer(Irp, STATUS_SUCCESS, Length);
}

// Output length 0 asks for the size of the data. The answer goes into the
// shared buffer, which then exists only if the caller sent at least 4 input bytes.
static NTSTATUS PLMUSB_AnswerLengthOrData(PIRP Irp, const VOID *Data, ULONG Length) {
  ULONG out = PLMUSB_OutputLength(Irp);

  if (out == 0) {
    if (PLMUSB_Buffer(Irp) == NULL || PLMUSB_InputLength(Irp) < sizeof(ULONG)) {
      return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
    }
    memcpy(PLMUSB_Buffer(Irp), &Length, sizeof(ULONG));
    return PLMUSB_Answer(Irp, STATUS_SUCCESS, sizeof(ULONG));
  }
  if (out < Length) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  return PLMUSB_AnswerBytes(Irp, Data, Length);
}

static NTSTATUS PLMUSB_GetVersion(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (PLMUSB_OutputLength(Irp) < USBPRN_VERSION_LENGTH) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  return PLMUSB_AnswerBytes(Irp, USBPRN_VERSION_TEXT, USBPRN_VERSION_LENGTH);
}

static NTSTATUS PLMUSB_GetDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUSB_DEVICE_DESCRIPTOR descriptor = PLMUSB_Extension(DeviceObject)->DeviceDescriptor;

  if (descriptor == NULL) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_NOT_CONFIGURED, 0);
  }
  return PLMUSB_AnswerLengthOrData(Irp, descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
}

static NTSTATUS PLMUSB_GetDeviceType(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (PLMUSB_OutputLength(Irp) == 0) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  return PLMUSB_AnswerBytes(Irp, &PLMUSB_Extension(DeviceObject)->DeviceType, 1);
}

static NTSTATUS PLMUSB_GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = PLMUSB_Extension(DeviceObject)->ConfigurationDescriptor;

  if (descriptor == NULL) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_NOT_CONFIGURED, 0);
  }
  return PLMUSB_AnswerLengthOrData(Irp, descriptor, descriptor->wTotalLength);
}

// Reads the descriptor into the transfer buffer and copies what arrived, at most
// out bytes, into the request. A failed request delivered no descriptor.
static NTSTATUS PLMUSB_ReadStringDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb,
                                            PUCHAR Transfer) {
  ULONG out = PLMUSB_OutputLength(Irp);
  NTSTATUS status;
  ULONG count = 0;

  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  RtlZeroMemory(Transfer, out);
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, ((PUCHAR)PLMUSB_Buffer(Irp))[0], 0, Transfer, NULL,
                               out, NULL);
  status = PLMUSB_CallUSBD(DeviceObject, Urb);
  if (NT_SUCCESS(status)) {
    count = Transfer[0] < out ? Transfer[0] : out;
    memcpy(PLMUSB_Buffer(Irp), Transfer, count);
  }
  return PLMUSB_Answer(Irp, status, count);
}

static NTSTATUS PLMUSB_GetStringDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ULONG out = PLMUSB_OutputLength(Irp);
  PURB urb;
  PUCHAR transfer;
  NTSTATUS status;

  if (out == 0) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  if (PLMUSB_InputLength(Irp) == 0) {
    return PLMUSB_Answer(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                    NRVUSB_POOL_TAG);
  transfer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, out, NRVUSB_POOL_TAG);
  status = urb != NULL && transfer != NULL ? PLMUSB_ReadStringDescriptor(DeviceObject, Irp, urb, transfer)
                                           : PLMUSB_Answer(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (urb != NULL) {
    ExFreePool(urb);
  }
  if (transfer != NULL) {
    ExFreePool(transfer);
  }
  return status;
}

// The stored device ID, read whole and cut to the output buffer; an empty text
// when there is none. Nothing is sent to the printer.
static NTSTATUS PLMUSB_GetInternalDeviceID(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ULONG out = PLMUSB_OutputLength(Irp);
  PCHAR text = (PCHAR)PLMUSB_Buffer(Irp);
  ULONG length = 0;

  if (out == 0) {
    return PLMUSB_Answer(Irp, STATUS_SUCCESS, 0);
  }
  RtlZeroMemory(text, out);
  PLMUSB_GetDeviceKeyValue(PLMUSB_Extension(DeviceObject)->PhysicalDevice, L"DeviceID", text, out);
  while (length < out && text[length] != 0) {
    length++;
  }
  return PLMUSB_Answer(Irp, STATUS_SUCCESS, length);
}

static NTSTATUS PLMUSB_SetCurrentInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  UCHAR setting;

  if (PLMUSB_InputLength(Irp) == 0) {
    return PLMUSB_Answer(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  setting = ((PUCHAR)PLMUSB_Buffer(Irp))[0];
  if (setting > 2) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BAD_INTERFACE, 0);
  }
  if (extension->InterfaceInfo != NULL && extension->InterfaceInfo->AlternateSetting == setting) {
    return PLMUSB_Answer(Irp, STATUS_SUCCESS, 0);
  }
  if (extension->ConfigurationDescriptor == NULL) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_NOT_CONFIGURED, 0);
  }
  return PLMUSB_Answer(Irp, PLMUSB_SelectInterface(DeviceObject, extension->ConfigurationDescriptor, 0, (CHAR)setting),
                       0);
}

static NTSTATUS PLMUSB_GetCurrentInterface(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PUSBD_INTERFACE_INFORMATION interfaceInfo = PLMUSB_Extension(DeviceObject)->InterfaceInfo;

  if (PLMUSB_OutputLength(Irp) == 0) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  if (interfaceInfo == NULL) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_NOT_CONFIGURED, 0);
  }
  return PLMUSB_AnswerBytes(Irp, &interfaceInfo->AlternateSetting, 1);
}

// The selector in input byte 0 names the bulk OUT (0) or bulk IN (1) pipe.
static NTSTATUS PLMUSB_SelectedPipeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, USHORT Function) {
  PUSBD_PIPE_INFORMATION pipe = NULL;

  if (PLMUSB_InputLength(Irp) == 0) {
    return PLMUSB_Answer(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  switch (((PUCHAR)PLMUSB_Buffer(Irp))[0]) {
    case USBPRN_PIPE_BULK_OUT:
      pipe = PLMUSB_GetBulkOutPipe(DeviceObject);
      break;
    case USBPRN_PIPE_BULK_IN:
      pipe = PLMUSB_GetBulkInPipe(DeviceObject);
      break;
  }
  if (pipe == NULL) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BAD_PIPE, 0);
  }
  return PLMUSB_Answer(Irp, PLMUSB_SendPipeRequest(DeviceObject, pipe, Function), 0);
}

static NTSTATUS PLMUSB_ResetBulkPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return PLMUSB_SelectedPipeRequest(DeviceObject, Irp, URB_FUNCTION_RESET_PIPE);
}

static NTSTATUS PLMUSB_AbortPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return PLMUSB_SelectedPipeRequest(DeviceObject, Irp, URB_FUNCTION_ABORT_PIPE);
}

static NTSTATUS PLMUSB_CancelPipeRequests(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PLMUSB_CancelPendingIo(DeviceObject);
  return PLMUSB_Answer(Irp, STATUS_SUCCESS, 0);
}

// Copies the ID that follows the two length bytes of the reply: all of it when
// it fits, the first out bytes when it does not, nothing for a length query.
static ULONG PLMUSB_CopyDeviceId(PIRP Irp, const UCHAR *Reply) {
  ULONG out = PLMUSB_OutputLength(Irp);
  ULONG length = ((ULONG)Reply[0] << 8) | Reply[1];

  length = length < 2 ? 0 : length - 2;
  if (out == 0) {
    return length;
  }
  if (length > out) {
    length = out;
  }
  memcpy(PLMUSB_Buffer(Irp), Reply + 2, length);
  return length;
}

static NTSTATUS PLMUSB_GetDeviceID(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ULONG out = PLMUSB_OutputLength(Irp);
  ULONG transferLength = out == 0 ? 8 : (out > MAX_CONTROL_TRANSFER - 3 ? MAX_CONTROL_TRANSFER : out + 3);
  PUCHAR reply = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, transferLength, NRVUSB_POOL_TAG);
  PURB urb = NULL;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  ULONG information = 0;

  if (reply != NULL) {
    RtlZeroMemory(reply, transferLength);
    urb = PLMUSB_BuildGetDeviceIdRequest(reply, transferLength);
  }
  if (urb != NULL) {
    status = PLMUSB_CallUSBD(DeviceObject, urb);
    ExFreePool(urb);
    if (NT_SUCCESS(status)) {
      information = PLMUSB_CopyDeviceId(Irp, reply);
    }
  }
  if (reply != NULL) {
    ExFreePool(reply);
  }
  return PLMUSB_Answer(Irp, status, information);
}

static NTSTATUS PLMUSB_GetPortStatus2(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  ULONG out = PLMUSB_OutputLength(Irp);
  PURB urb;
  NTSTATUS status;

  if (out == 0) {
    return PLMUSB_Answer(Irp, USBPRN_STATUS_BUFFER_TOO_SMALL, 0);
  }
  urb = PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_INTERFACE, PRINTER_CLASS_TRANSFER_IN,
                                         out > MAX_CONTROL_TRANSFER ? MAX_CONTROL_TRANSFER : out,
                                         PLMUSB_Buffer(Irp), NULL, NULL, PRINTER_CLASS_IN_TO_INTERFACE,
                                         PRINTER_GET_PORT_STATUS, 0, 0);
  if (urb == NULL) {
    return PLMUSB_Answer(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  status = PLMUSB_CallUSBD(DeviceObject, urb);
  ExFreePool(urb);
  return PLMUSB_Answer(Irp, status, NT_SUCCESS(status) ? 1 : 0);
}

static NTSTATUS PLMUSB_SoftReset(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  UCHAR requestType = (extension->PrinterClassOptions & CLASS_OPTION_SOFT_RESET_TO_INTERFACE)
                          ? PRINTER_CLASS_OUT_TO_INTERFACE
                          : PRINTER_CLASS_OUT_TO_OTHER;
  PURB urb = PLMUSB_BuildVendorOrClassRequest(URB_FUNCTION_CLASS_OTHER, 0, 0, NULL, NULL, NULL, requestType,
                                              PRINTER_SOFT_RESET, 0, 0);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;

  if (urb != NULL) {
    status = PLMUSB_CallUSBD(DeviceObject, urb);
    ExFreePool(urb);
  }
  PLMUSB_WriteDeviceTypeRegister(DeviceObject);
  return PLMUSB_Answer(Irp, status, 0);
}

static IoctlHandler PLMUSB_HandlerFor(ULONG ControlCode) {
  switch (ControlCode) {
    case IOCTL_USBPRN_GET_VERSION:
      return PLMUSB_GetVersion;
    case IOCTL_USBPRN_GET_DEVICE_DESCRIPTOR:
      return PLMUSB_GetDeviceDescriptor;
    case IOCTL_USBPRN_GET_DEVICE_TYPE:
      return PLMUSB_GetDeviceType;
    case IOCTL_USBPRN_GET_CONFIGURATION_DESCRIPTOR:
      return PLMUSB_GetConfigurationDescriptor;
    case IOCTL_USBPRN_GET_STRING_DESCRIPTOR:
      return PLMUSB_GetStringDescriptor;
    case IOCTL_USBPRN_GET_INTERNAL_DEVICE_ID:
      return PLMUSB_GetInternalDeviceID;
    case IOCTL_USBPRN_SET_CURRENT_INTERFACE:
      return PLMUSB_SetCurrentInterface;
    case IOCTL_USBPRN_GET_CURRENT_INTERFACE:
      return PLMUSB_GetCurrentInterface;
    case IOCTL_USBPRN_RESET_BULK_PIPE:
      return PLMUSB_ResetBulkPipe;
    case IOCTL_USBPRN_CANCEL_PIPE_REQUESTS:
      return PLMUSB_CancelPipeRequests;
    case IOCTL_USBPRN_ABORT_PIPE:
      return PLMUSB_AbortPipe;
    case IOCTL_USBPRN_GET_DEVICE_ID:
      return PLMUSB_GetDeviceID;
    case IOCTL_USBPRN_GET_PORT_STATUS:
      return PLMUSB_GetPortStatus2;
    case IOCTL_USBPRN_SOFT_RESET:
      return PLMUSB_SoftReset;
  }
  return NULL;
}

NTSTATUS PLMUSB_ProcessIOCTL(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;
  IoctlHandler handler;

  if (!PLMUSB_AdmitIoRequest(DeviceObject, Irp)) {
    return STATUS_DELETE_PENDING;
  }
  PLMUSB_Answer(Irp, STATUS_SUCCESS, 0);
  handler = PLMUSB_HandlerFor(IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
  status = handler != NULL ? handler(DeviceObject, Irp) : PLMUSB_Answer(Irp, STATUS_INVALID_PARAMETER, 0);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}
