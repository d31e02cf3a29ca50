// Configuring a USB device through the bus: select configuration (and, with
// no descriptor, unconfiguring), and the reconfiguration after a port reset.
#include <cstddef>

#include "usb/descriptor_walk.h"
#include "usb/usb_bus.h"
#include "usb/usb_device.h"

namespace nrv {

struct UsbDevice::SelectedInterface {
  PUSBD_INTERFACE_INFORMATION record;
  FoundInterface found;
};

// The device is unconfigured: its handles and settings are gone.
void UsbDevice::forgetConfiguration() {
  configurationHandle_ = nullptr;
  configurationValue_ = 0;
  alternateSettings_.clear();
  pipes_.clear();
}

USBD_STATUS UsbDevice::setConfiguration(UCHAR configurationValue, USHORT urbFunction) {
  UsbControlRequest request;
  request.requestType = kUsbTypeStandard | kUsbRecipientDevice;
  request.request = kUsbSetConfiguration;
  request.value = configurationValue;
  request.urbFunction = urbFunction;
  ULONG noData = 0;
  return controlTransfer(std::move(request), nullptr, nullptr, noData);
}

USBD_STATUS UsbDevice::setAlternateSettings(const std::vector<std::pair<UCHAR, UCHAR>>& settings,
                                            USHORT urbFunction) {
  for (const auto& [number, setting] : settings) {
    if (setting == 0) continue;
    UsbControlRequest request;
    request.requestType = kUsbTypeStandard | kUsbRecipientInterface;
    request.request = kUsbSetInterface;
    request.value = setting;
    request.index = number;
    request.urbFunction = urbFunction;
    ULONG noData = 0;
    USBD_STATUS status = controlTransfer(std::move(request), nullptr, nullptr, noData);
    if (!USBD_SUCCESS(status)) return status;
  }
  return USBD_STATUS_SUCCESS;
}

// Selecting a configuration checks each interface record against the driver's
// copy of the configuration descriptor, sets the configuration and the
// alternate settings on the device, and then hands out the handles. Without a
// descriptor the device is unconfigured.
USBD_STATUS UsbDevice::selectConfiguration(struct _URB_SELECT_CONFIGURATION& urb) {
  USHORT function = urb.Hdr.Function;
  if (urb.ConfigurationDescriptor == nullptr) {
    USBD_STATUS status = setConfiguration(0, function);
    if (!USBD_SUCCESS(status)) return status;
    forgetConfiguration();
    urb.ConfigurationHandle = nullptr;
    return USBD_STATUS_SUCCESS;
  }
  std::vector<SelectedInterface> selected;
  USBD_STATUS status = readSelection(urb, selected);
  if (!USBD_SUCCESS(status)) return status;
  status = setConfiguration(urb.ConfigurationDescriptor->bConfigurationValue, function);
  if (!USBD_SUCCESS(status)) return status;
  forgetConfiguration();
  std::vector<std::pair<UCHAR, UCHAR>> settings;
  for (const SelectedInterface& entry : selected) {
    settings.emplace_back(entry.record->InterfaceNumber, entry.record->AlternateSetting);
  }
  status = setAlternateSettings(settings, function);
  if (!USBD_SUCCESS(status)) return status;
  handOutSelection(urb, selected);
  return USBD_STATUS_SUCCESS;
}

// Drivers in the field submit this request with a header length of 0: the
// records carry their own lengths, so the header length only bounds the
// records after the first.
USBD_STATUS UsbDevice::readSelection(struct _URB_SELECT_CONFIGURATION& urb,
                                     std::vector<SelectedInterface>& selected) {
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb.ConfigurationDescriptor;
  if (descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  auto* base = reinterpret_cast<UCHAR*>(&urb);
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  do {
    if (!selected.empty() && offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb.Hdr.Length) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    SelectedInterface entry{record, {}};
    if (!findInterface(descriptor, record->InterfaceNumber, record->AlternateSetting, entry.found)) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    if (record->Length < interfaceRecordSize(entry.found.endpointCount) ||
        (!selected.empty() && offset + record->Length > urb.Hdr.Length)) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    for (const SelectedInterface& earlier : selected) {
      if (earlier.record->InterfaceNumber == record->InterfaceNumber) return USBD_STATUS_INVALID_PARAMETER;
    }
    selected.push_back(entry);
    offset += record->Length;
  } while (offset < urb.Hdr.Length);
  return USBD_STATUS_SUCCESS;
}

void UsbDevice::handOutSelection(struct _URB_SELECT_CONFIGURATION& urb,
                                 const std::vector<SelectedInterface>& selected) {
  configurationHandle_ = bus_.newHandle();
  configurationValue_ = urb.ConfigurationDescriptor->bConfigurationValue;
  for (const SelectedInterface& entry : selected) {
    PUSBD_INTERFACE_INFORMATION record = entry.record;
    const USB_INTERFACE_DESCRIPTOR* interface = entry.found.interface;
    alternateSettings_[record->InterfaceNumber] = record->AlternateSetting;
    record->Class = interface->bInterfaceClass;
    record->SubClass = interface->bInterfaceSubClass;
    record->Protocol = interface->bInterfaceProtocol;
    record->InterfaceHandle = bus_.newHandle();
    record->NumberOfPipes = static_cast<ULONG>(entry.found.endpointCount);
    for (size_t index = 0; index < entry.found.endpointCount; index++) {
      const USB_ENDPOINT_DESCRIPTOR* endpoint = entry.found.endpoints[index];
      // The driver's MaximumTransferSize and PipeFlags are its own and stay as they are.
      USBD_PIPE_INFORMATION& pipe = record->Pipes[index];
      pipe.MaximumPacketSize = endpoint->wMaxPacketSize;
      pipe.EndpointAddress = endpoint->bEndpointAddress;
      pipe.Interval = endpoint->bInterval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = bus_.newHandle();
      pipes_.push_back(UsbPipe{pipe.PipeHandle, record->InterfaceNumber, pipe.EndpointAddress, pipe.PipeType,
                               pipe.MaximumPacketSize});
    }
  }
  urb.ConfigurationHandle = configurationHandle_;
}

// After a port reset the bus selects the configuration and alternate settings
// again, so every handle the driver holds stays valid.
void UsbDevice::resetPort() {
  std::lock_guard<std::mutex> guard(lock_);
  portEnabled_ = true;
  portResets_++;
  model_->busReset();
  if (configurationValue_ == 0) return;
  setConfiguration(configurationValue_, kUsbBusOwnRequest);
  setAlternateSettings({alternateSettings_.begin(), alternateSettings_.end()}, kUsbBusOwnRequest);
}

}  // namespace nrv
