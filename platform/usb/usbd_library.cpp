// The USB driver interface library a client driver links against: finding an
// interface in a configuration descriptor, building the select-configuration
// request for chosen interfaces, and the version of the USB stack.
#include <usbdlib.h>

#include <algorithm>
#include <cstring>

#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/pool.h"
#include "usb/descriptor_walk.h"

namespace nrv {

namespace {

constexpr ULONG kUsbdTag = 0x44425355;  // "USBD"

bool matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

}  // namespace nrv

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  nrv::requireIrqlAtMost(APC_LEVEL, "USBD_ParseConfigurationDescriptorEx");
  nrv::DescriptorWalk walk(ConfigurationDescriptor, StartPosition);
  while (const UCHAR* descriptor = walk.next()) {
    if (descriptor[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    // An interface descriptor too short to hold its fields is as broken as a zero length.
    if (descriptor[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) return nullptr;
    auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(descriptor));
    if (nrv::matches(InterfaceNumber, interface->bInterfaceNumber) &&
        nrv::matches(AlternateSetting, interface->bAlternateSetting) &&
        nrv::matches(InterfaceClass, interface->bInterfaceClass) &&
        nrv::matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
        nrv::matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
      return interface;
    }
  }
  return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "USBD_CreateConfigurationRequestEx");
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
    size += nrv::interfaceRecordSize(entry->InterfaceDescriptor->bNumEndpoints);
  }
  // The header's length field is 16 bits wide.
  if (size > 0xFFFF) return nullptr;
  // Never smaller than the fixed request, so that drivers may use its fields
  // even for interfaces without pipes.
  size_t allocation = std::max(size, sizeof(struct _URB_SELECT_CONFIGURATION));
  auto* urb =
      static_cast<PURB>(nrv::allocatePool(NonPagedPool, allocation, nrv::kUsbdTag,
                                          __builtin_return_address(0), "USBD_CreateConfigurationRequestEx"));
  if (urb == nullptr) return nullptr;
  memset(urb, 0, allocation);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; entry++) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    size_t recordSize = nrv::interfaceRecordSize(descriptor->bNumEndpoints);
    interface->Length = static_cast<USHORT>(recordSize);
    interface->InterfaceNumber = descriptor->bInterfaceNumber;
    interface->AlternateSetting = descriptor->bAlternateSetting;
    interface->NumberOfPipes = descriptor->bNumEndpoints;
    for (ULONG pipe = 0; pipe < interface->NumberOfPipes; pipe++) {
      interface->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    entry->Interface = interface;
    record += recordSize;
  }
  return urb;
}

VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  // The interface versions the two stacks report: 98 Second Edition and 2000.
  bool windows98 = nrv::currentKernel().profile == nrv::OsProfile::Windows98;
  VersionInformation->USBDI_Version = windows98 ? 0x200 : 0x300;
  VersionInformation->Supported_USB_Version = 0x110;
}

}  // extern "C"
