// The USB driver interface library (USBD.SYS) a client driver links against.
#pragma once

#include <wdm.h>
#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

typedef struct _USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

NTKERNELAPI PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

NTKERNELAPI VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                       \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
   sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                        \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                      \
   ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                                 \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer,   \
                                     transferBufferMDL, transferBufferLength, link)                             \
  do {                                                                                                         \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                       \
    (urb)->UrbHeader.Length = (length);                                                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                       \
  } while (0)
