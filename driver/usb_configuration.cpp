// Configuring the printer at start: the whole configuration descriptor, then
// one printer-class interface with its pipes.
#include "nrvusb.h"

#define FIRST_DESCRIPTOR_SIZE 521
// A conforming device needs a second read at most; a third would mean it keeps
// changing its answer.
#define MAX_DESCRIPTOR_READS 2
#define PRINTER_CLASS 7
#define PRINTER_SUBCLASS 1
#define PROTOCOL_BIDIRECTIONAL 2
#define PROTOCOL_UNIDIRECTIONAL 1
// The selected interface is kept in a record with room for every endpoint an
// interface can have, so that a new selection is copied over the old one and a
// handle bound to one of its pipes never points into freed memory.
#define MAX_INTERFACE_PIPES 30
#define INTERFACE_RECORD_SIZE \
  (sizeof(USBD_INTERFACE_INFORMATION) + (MAX_INTERFACE_PIPES - 1) * sizeof(USBD_PIPE_INFORMATION))

static VOID PLMUSB_FreeConfigurationDescriptor(PDeviceExtension Extension) {
  if (Extension->ConfigurationDescriptor != NULL) {
    ExFreePool(Extension->ConfigurationDescriptor);
    Extension->ConfigurationDescriptor = NULL;
  }
}

// Reads the configuration descriptor into a new buffer of the given size.
static NTSTATUS PLMUSB_ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Size,
                                                   PULONG Transferred) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  extension->ConfigurationDescriptor =
      (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, Size, NRVUSB_POOL_TAG);
  if (extension->ConfigurationDescriptor == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, extension->ConfigurationDescriptor, NULL, Size,
                               NULL);
  status = PLMUSB_CallUSBD(DeviceObject, Urb);
  if (!NT_SUCCESS(status)) {
    PLMUSB_FreeConfigurationDescriptor(extension);
    return status;
  }
  *Transferred = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  return STATUS_SUCCESS;
}

NTSTATUS PLMUSB_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PURB urb;
  ULONG size = FIRST_DESCRIPTOR_SIZE;
  ULONG transferred = 0;
  NTSTATUS status = STATUS_SUCCESS;

  urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), NRVUSB_POOL_TAG);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // A restart reads the descriptor anew.
  PLMUSB_FreeConfigurationDescriptor(extension);
  for (int read = 1; read <= MAX_DESCRIPTOR_READS; read++) {
    status = PLMUSB_ReadConfigurationDescriptor(DeviceObject, urb, size, &transferred);
    if (!NT_SUCCESS(status)) {
      break;
    }
    if (transferred == 0 || extension->ConfigurationDescriptor->wTotalLength <= size) {
      break;
    }
    size = extension->ConfigurationDescriptor->wTotalLength;
    PLMUSB_FreeConfigurationDescriptor(extension);
  }
  ExFreePool(urb);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Only a descriptor the device delivered whole may be parsed.
  if (extension->ConfigurationDescriptor == NULL || transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      transferred < extension->ConfigurationDescriptor->wTotalLength) {
    PLMUSB_FreeConfigurationDescriptor(extension);
    return STATUS_DEVICE_DATA_ERROR;
  }
  return PLMUSB_SelectInterface(DeviceObject, extension->ConfigurationDescriptor, -1, -1);
}

static PUSB_INTERFACE_DESCRIPTOR PLMUSB_FindPrinterInterface(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                             CHAR InterfaceNumber, CHAR AlternateSetting) {
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                          AlternateSetting, PRINTER_CLASS, PRINTER_SUBCLASS, PROTOCOL_BIDIRECTIONAL);
  if (found == NULL) {
    found = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                                AlternateSetting, PRINTER_CLASS, PRINTER_SUBCLASS,
                                                PROTOCOL_UNIDIRECTIONAL);
  }
  return found;
}

// Keeps a copy of the selected interface, reusing the record of an earlier
// selection. An interface too large to keep leaves no pipe to use.
static VOID PLMUSB_KeepInterfaceInfo(PDeviceExtension Extension, PUSBD_INTERFACE_INFORMATION Selected) {
  if (Selected->Length > INTERFACE_RECORD_SIZE) {
    if (Extension->InterfaceInfo != NULL) {
      Extension->InterfaceInfo->NumberOfPipes = 0;
    }
    return;
  }
  if (Extension->InterfaceInfo == NULL) {
    Extension->InterfaceInfo =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, INTERFACE_RECORD_SIZE, NRVUSB_POOL_TAG);
    if (Extension->InterfaceInfo == NULL) {
      return;
    }
  }
  memcpy(Extension->InterfaceInfo, Selected, Selected->Length);
}

NTSTATUS PLMUSB_SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                CHAR InterfaceNumber, CHAR AlternateSetting) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PUSBD_INTERFACE_LIST_ENTRY interfaceList;
  PUSBD_INTERFACE_INFORMATION selected;
  PURB urb;
  NTSTATUS status;

  interfaceList = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
      NonPagedPool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY), NRVUSB_POOL_TAG);
  if (interfaceList == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  interfaceList[0].InterfaceDescriptor =
      PLMUSB_FindPrinterInterface(ConfigurationDescriptor, InterfaceNumber, AlternateSetting);
  interfaceList[0].Interface = NULL;
  interfaceList[1].InterfaceDescriptor = NULL;
  interfaceList[1].Interface = NULL;
  if (interfaceList[0].InterfaceDescriptor == NULL) {
    ExFreePool(interfaceList);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, interfaceList);
  ExFreePool(interfaceList);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  selected = &urb->UrbSelectConfiguration.Interface;
  for (ULONG index = 0; index < selected->NumberOfPipes; index++) {
    selected->Pipes[index].MaximumTransferSize = extension->MaxTransferSize;
    selected->Pipes[index].PipeFlags = 0;
  }
  urb->UrbHeader.Length = 0;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  status = PLMUSB_CallUSBD(DeviceObject, urb);
  extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
  if (NT_SUCCESS(status)) {
    PLMUSB_KeepInterfaceInfo(extension, selected);
  }
  ExFreePool(urb);
  return status;
}
