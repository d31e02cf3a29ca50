#include "usb/usb_bus.h"

#include <usbioctl.h>

#include <algorithm>
#include <cstring>

#include "machine/bugcheck.h"
#include "machine/machine.h"
#include "machine/text.h"
#include "usb/descriptor_walk.h"

namespace nrv {

namespace {

// The parent part of the instance ID the hub gives a device without a usable
// serial number; the port number follows it.
constexpr const char* kPortInstancePrefix = "5&2D4F3F4&0&";

// A serial number names the device only if every character may appear in an
// instance ID; otherwise the device is named by its port, as if it had none.
bool usableSerialNumber(const std::optional<std::u16string>& serial) {
  if (!serial || serial->empty()) return false;
  for (char16_t c : *serial) {
    if (c <= 0x20 || c > 0x7F || c == u',') return false;
  }
  return true;
}

std::u16string instancePathFor(const UsbDeviceDescription& description, ULONG port) {
  std::u16string path =
      toUtf16(format("USB\\VID_%04X&PID_%04X\\", description.vendorId, description.productId));
  if (usableSerialNumber(description.serialNumber)) return path + *description.serialNumber;
  return path + toUtf16(format("%s%u", kPortInstancePrefix, port));
}

NTSTATUS ntStatusFor(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_INVALID_PARAMETER:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_URB_FUNCTION:
      return STATUS_NOT_SUPPORTED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

template <typename Request>
bool fits(const Request& urb) {
  return urb.Hdr.Length >= sizeof(Request);
}

}  // namespace

// ---- UsbDevice ----------------------------------------------------------------

UsbDevice::UsbDevice(UsbBus& bus, PhysicalDevice& physical, ULONG port, std::unique_ptr<UsbDeviceModel> model)
    : bus_(bus), physical_(&physical), port_(port), model_(std::move(model)) {}

PDEVICE_OBJECT UsbDevice::pdo() const { return physical_->object(); }

const std::u16string& UsbDevice::instancePath() const { return physical_->instancePath(); }

SimulatedPrinter& UsbDevice::printer() const {
  auto* printer = dynamic_cast<SimulatedPrinter*>(model_.get());
  if (printer == nullptr) {
    bugCheck("NOT_A_PRINTER", format("the USB device on port %u (%s) is not a simulated printer", port_,
                                     toUtf8(instancePath()).c_str()));
  }
  return *printer;
}

ULONG UsbDevice::portStatus() const {
  std::lock_guard<std::mutex> guard(lock_);
  return USBD_PORT_CONNECTED | (portEnabled_ ? USBD_PORT_ENABLED : 0);
}

void UsbDevice::disablePort() {
  std::lock_guard<std::mutex> guard(lock_);
  portEnabled_ = false;
}

unsigned UsbDevice::portResets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return portResets_;
}

bool UsbDevice::configured() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configurationHandle_ != nullptr;
}

USBD_CONFIGURATION_HANDLE UsbDevice::configurationHandle() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configurationHandle_;
}

std::vector<UsbPipe> UsbDevice::pipes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pipes_;
}

NTSTATUS UsbDevice::dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return completeAsBusDriverDefault(irp);
  NTSTATUS status = internalDeviceControl(stack);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbDevice::internalDeviceControl(PIO_STACK_LOCATION stack) {
  PVOID argument = stack->Parameters.Others.Argument1;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
      auto* urb = static_cast<PURB>(argument);
      if (urb == nullptr) return STATUS_INVALID_PARAMETER;
      USBD_STATUS status;
      {
        std::lock_guard<std::mutex> guard(lock_);
        // A disabled port passes no traffic until it is reset.
        status = portEnabled_ ? submit(urb) : USBD_STATUS_DEV_NOT_RESPONDING;
      }
      urb->UrbHeader.Status = status;
      return ntStatusFor(status);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      if (argument == nullptr) return STATUS_INVALID_PARAMETER;
      *static_cast<PULONG>(argument) = portStatus();
      return STATUS_SUCCESS;
    case IOCTL_INTERNAL_USB_RESET_PORT:
      requireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_RESET_PORT");
      resetPort();
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

USBD_STATUS UsbDevice::submit(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return getDescriptor(urb->UrbControlDescriptorRequest);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return selectConfiguration(urb->UrbSelectConfiguration);
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
      return classOrVendor(urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
      // Not simulated yet: the data path comes with asynchronous completion.
      return USBD_STATUS_INVALID_URB_FUNCTION;
    default:
      return USBD_STATUS_INVALID_URB_FUNCTION;
  }
}

// Runs one control transfer on the default pipe. length is the buffer's size
// on entry and the bytes moved on return.
USBD_STATUS UsbDevice::controlTransfer(UsbControlRequest request, PVOID buffer, PMDL mdl, ULONG& length) {
  // wLength is 16 bits wide.
  if (length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  UCHAR* data = static_cast<UCHAR*>(buffer);
  if (data == nullptr && mdl != nullptr) data = static_cast<UCHAR*>(mdl->StartVa) + mdl->ByteOffset;
  if (length != 0 && data == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  request.length = static_cast<USHORT>(length);
  if (!request.in() && length != 0) request.outData.assign(data, data + length);
  UsbControlReply reply = model_->control(request);
  if (!USBD_SUCCESS(reply.status)) {
    length = 0;
    return reply.status;
  }
  if (request.in()) {
    if (!reply.data.empty()) memcpy(data, reply.data.data(), reply.data.size());
    length = static_cast<ULONG>(reply.data.size());
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::getDescriptor(struct _URB_CONTROL_DESCRIPTOR_REQUEST& urb) {
  if (!fits(urb)) return USBD_STATUS_INVALID_PARAMETER;
  UsbControlRequest request;
  request.requestType = kUsbDirectionIn | kUsbTypeStandard | kUsbRecipientDevice;
  request.request = kUsbGetDescriptor;
  request.value = static_cast<USHORT>((urb.DescriptorType << 8) | urb.Index);
  request.index = urb.LanguageId;
  request.urbFunction = urb.Hdr.Function;
  return controlTransfer(std::move(request), urb.TransferBuffer, urb.TransferBufferMDL,
                         urb.TransferBufferLength);
}

USBD_STATUS UsbDevice::classOrVendor(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb) {
  if (!fits(urb)) return USBD_STATUS_INVALID_PARAMETER;
  UCHAR type = kUsbTypeClass;
  UCHAR recipient = kUsbRecipientDevice;
  switch (urb.Hdr.Function) {
    case URB_FUNCTION_VENDOR_DEVICE:
      type = kUsbTypeVendor;
      break;
    case URB_FUNCTION_VENDOR_INTERFACE:
      type = kUsbTypeVendor;
      recipient = kUsbRecipientInterface;
      break;
    case URB_FUNCTION_VENDOR_ENDPOINT:
      type = kUsbTypeVendor;
      recipient = kUsbRecipientEndpoint;
      break;
    case URB_FUNCTION_VENDOR_OTHER:
      type = kUsbTypeVendor;
      recipient = kUsbRecipientOther;
      break;
    case URB_FUNCTION_CLASS_INTERFACE:
      recipient = kUsbRecipientInterface;
      break;
    case URB_FUNCTION_CLASS_ENDPOINT:
      recipient = kUsbRecipientEndpoint;
      break;
    case URB_FUNCTION_CLASS_OTHER:
      recipient = kUsbRecipientOther;
      break;
    default:
      break;
  }
  UsbControlRequest request;
  bool in = (urb.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  request.requestType = static_cast<UCHAR>((in ? kUsbDirectionIn : 0) | type | recipient);
  request.request = urb.Request;
  request.value = urb.Value;
  request.index = urb.Index;
  request.urbFunction = urb.Hdr.Function;
  request.requestTypeBits = urb.RequestTypeReservedBits;
  request.transferFlags = urb.TransferFlags;
  return controlTransfer(std::move(request), urb.TransferBuffer, urb.TransferBufferMDL,
                         urb.TransferBufferLength);
}

// Selecting a configuration checks each interface record against the
// driver's copy of the configuration descriptor, sets the configuration and
// the alternate settings on the device, and then hands out the handles.
// Drivers in the field submit this request with a header length of 0: the
// records carry their own lengths, so the header length only bounds the
// records after the first.
USBD_STATUS UsbDevice::selectConfiguration(struct _URB_SELECT_CONFIGURATION& urb) {
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb.ConfigurationDescriptor;
  UsbControlRequest setConfiguration;
  setConfiguration.requestType = kUsbTypeStandard | kUsbRecipientDevice;
  setConfiguration.request = kUsbSetConfiguration;
  setConfiguration.urbFunction = urb.Hdr.Function;
  ULONG noData = 0;

  if (descriptor == nullptr) {
    USBD_STATUS status = controlTransfer(setConfiguration, nullptr, nullptr, noData);
    if (!USBD_SUCCESS(status)) return status;
    configurationHandle_ = nullptr;
    configurationValue_ = 0;
    alternateSettings_.clear();
    pipes_.clear();
    urb.ConfigurationHandle = nullptr;
    return USBD_STATUS_SUCCESS;
  }

  if (descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      descriptor->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  struct Selected {
    PUSBD_INTERFACE_INFORMATION record;
    FoundInterface found;
  };
  std::vector<Selected> selected;
  auto* base = reinterpret_cast<UCHAR*>(&urb);
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  do {
    if (!selected.empty() && offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > urb.Hdr.Length) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    auto* record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    Selected entry{record, {}};
    if (!findInterface(descriptor, record->InterfaceNumber, record->AlternateSetting, entry.found)) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    if (record->Length < interfaceRecordSize(entry.found.endpointCount) ||
        (!selected.empty() && offset + record->Length > urb.Hdr.Length)) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    for (const Selected& earlier : selected) {
      if (earlier.record->InterfaceNumber == record->InterfaceNumber) return USBD_STATUS_INVALID_PARAMETER;
    }
    selected.push_back(entry);
    offset += record->Length;
  } while (offset < urb.Hdr.Length);

  setConfiguration.value = descriptor->bConfigurationValue;
  USBD_STATUS status = controlTransfer(setConfiguration, nullptr, nullptr, noData);
  if (!USBD_SUCCESS(status)) return status;
  configurationHandle_ = nullptr;
  configurationValue_ = 0;
  alternateSettings_.clear();
  pipes_.clear();
  for (const Selected& entry : selected) {
    if (entry.record->AlternateSetting == 0) continue;
    UsbControlRequest setInterface;
    setInterface.requestType = kUsbTypeStandard | kUsbRecipientInterface;
    setInterface.request = kUsbSetInterface;
    setInterface.value = entry.record->AlternateSetting;
    setInterface.index = entry.record->InterfaceNumber;
    setInterface.urbFunction = urb.Hdr.Function;
    status = controlTransfer(setInterface, nullptr, nullptr, noData);
    if (!USBD_SUCCESS(status)) return status;
  }

  configurationHandle_ = bus_.newHandle();
  configurationValue_ = descriptor->bConfigurationValue;
  for (const Selected& entry : selected) {
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
  return USBD_STATUS_SUCCESS;
}

// After a port reset the bus selects the configuration and alternate settings
// again, so every handle the driver holds stays valid.
void UsbDevice::resetPort() {
  std::lock_guard<std::mutex> guard(lock_);
  portEnabled_ = true;
  portResets_++;
  model_->busReset();
  if (configurationValue_ == 0) return;
  ULONG noData = 0;
  UsbControlRequest setConfiguration;
  setConfiguration.requestType = kUsbTypeStandard | kUsbRecipientDevice;
  setConfiguration.request = kUsbSetConfiguration;
  setConfiguration.value = configurationValue_;
  setConfiguration.urbFunction = kUsbBusOwnRequest;
  controlTransfer(setConfiguration, nullptr, nullptr, noData);
  for (const auto& [number, setting] : alternateSettings_) {
    if (setting == 0) continue;
    UsbControlRequest setInterface;
    setInterface.requestType = kUsbTypeStandard | kUsbRecipientInterface;
    setInterface.request = kUsbSetInterface;
    setInterface.value = setting;
    setInterface.index = number;
    setInterface.urbFunction = kUsbBusOwnRequest;
    controlTransfer(setInterface, nullptr, nullptr, noData);
  }
}

// ---- UsbBus -------------------------------------------------------------------

UsbDevice& UsbBus::plug(std::unique_ptr<UsbDeviceModel> model) {
  if (model == nullptr) bugCheck("INVALID_USB_DEVICE", "UsbBus::plug was given no device model");
  std::lock_guard<std::mutex> guard(lock_);
  ULONG port = 1;
  while (std::any_of(devices_.begin(), devices_.end(),
                     [&](const auto& device) { return device->port() == port; })) {
    port++;
  }
  PhysicalDevice& physical =
      Machine::current().plugPhysicalDevice(instancePathFor(model->description(), port));
  devices_.push_back(std::make_unique<UsbDevice>(*this, physical, port, std::move(model)));
  UsbDevice& device = *devices_.back();
  physical.setHandler([&device](PIRP irp) { return device.dispatch(irp); });
  return device;
}

UsbDevice& UsbBus::plugPrinter(PrinterConfig config) {
  return plug(std::make_unique<SimulatedPrinter>(std::move(config)));
}

void UsbBus::unplug(UsbDevice& device) {
  PDEVICE_OBJECT attached = device.pdo()->AttachedDevice;
  if (attached != nullptr) {
    bugCheck(
        "USB_DEVICE_IN_USE",
        format("the USB device on port %u (%s) was unplugged while device %p is attached to its physical "
               "device; remove it through the Plug and Play manager",
               device.port(), toUtf8(device.instancePath()).c_str(), static_cast<void*>(attached)));
  }
  remove(device);
}

void UsbBus::unplugAll() {
  for (;;) {
    UsbDevice* device;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (devices_.empty()) return;
      device = devices_.back().get();
    }
    remove(*device);
  }
}

std::vector<UsbDevice*> UsbBus::devices() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<UsbDevice*> result;
  for (const auto& device : devices_) result.push_back(device.get());
  return result;
}

PVOID UsbBus::newHandle() {
  std::lock_guard<std::mutex> guard(lock_);
  // Spaced like pool blocks, so that they look like the pointers real handles are.
  lastHandle_ += 0x10;
  return reinterpret_cast<PVOID>(uintptr_t{0x7A5B0000} + lastHandle_);
}

void UsbBus::remove(UsbDevice& device) {
  Machine::current().removePhysicalDevice(device.physical());
  std::lock_guard<std::mutex> guard(lock_);
  devices_.remove_if([&](const std::unique_ptr<UsbDevice>& entry) { return entry.get() == &device; });
}

}  // namespace nrv
