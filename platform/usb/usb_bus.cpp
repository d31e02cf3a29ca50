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

// A serial number another plugged device already shows is not unique: the
// hub then names the device by its port, as for a device without one.
std::u16string instancePathFor(const UsbDeviceDescription& description, ULONG port,
                               const std::function<bool(const std::u16string&)>& taken) {
  std::u16string path =
      toUtf16(format("USB\\VID_%04X&PID_%04X\\", description.vendorId, description.productId));
  if (usableSerialNumber(description.serialNumber) && !taken(path + *description.serialNumber)) {
    return path + *description.serialNumber;
  }
  return path + toUtf16(format("%s%u", kPortInstancePrefix, port));
}

NTSTATUS ntStatusFor(USBD_STATUS status) {
  // Cancelled is not an error bit in USBD terms, yet the request failed.
  if (status == USBD_STATUS_CANCELED) return STATUS_CANCELLED;
  if (status == USBD_STATUS_PENDING) return STATUS_PENDING;
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
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

VOID cancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Machine::current().usb().cancelled(irp);
}

// Where a bulk transfer's bytes are: its buffer, or the range its MDL
// describes, mapped into system space as a host controller driver maps it.
UCHAR* transferData(struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer) {
  if (transfer.TransferBuffer != nullptr) return static_cast<UCHAR*>(transfer.TransferBuffer);
  if (transfer.TransferBufferMDL != nullptr) {
    return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, NormalPagePriority));
  }
  return nullptr;
}

bool isPipeRequest(USHORT function) {
  return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_RESET_PIPE ||
         function == URB_FUNCTION_ABORT_PIPE;
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
  if (!connected_) return 0;
  return USBD_PORT_CONNECTED | (portEnabled_ ? USBD_PORT_ENABLED : 0);
}

void UsbDevice::disconnect() {
  std::lock_guard<std::mutex> guard(lock_);
  connected_ = false;
}

bool UsbDevice::connected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_;
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
  if (stack->MajorFunction == IRP_MJ_PNP) return pnp(irp);
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return completeAsBusDriverDefault(irp);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  NTSTATUS status;
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
      isPipeRequest(urb->UrbHeader.Function)) {
    if (submitPipeRequest(irp, urb, status)) return status;
  } else {
    status = internalDeviceControl(stack);
    if (status == STATUS_PENDING) {
      // The device does not answer this control request; it waits until cancelled.
      QueuedTransfer held;
      held.device = this;
      held.irp = irp;
      held.urb = urb;
      held.plan.action = BulkPlan::Action::Hold;
      return bus_.queue(held);
    }
  }
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
        // A disabled port passes no traffic until it is reset; a gone device none at all.
        status = !connected_ ? USBD_STATUS_DEVICE_GONE : portEnabled_ ? submit(urb) : USBD_STATUS_DEV_NOT_RESPONDING;
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
  if (!USBD_SUCCESS(reply.status) || reply.status == USBD_STATUS_PENDING) {
    length = 0;
    return reply.status;
  }
  if (request.in()) {
    if (!reply.data.empty()) memcpy(data, reply.data.data(), reply.data.size());
    length = static_cast<ULONG>(reply.data.size());
  }
  return USBD_STATUS_SUCCESS;
}

bool UsbDevice::findPipe(USBD_PIPE_HANDLE handle, UsbPipe& pipe) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const UsbPipe& candidate : pipes_) {
    if (candidate.handle == handle) {
      pipe = candidate;
      return true;
    }
  }
  return false;
}

// Returns false, or true with status set to what dispatch returns: bulk
// transfers pend (STATUS_PENDING, completed by the bus thread); pipe requests
// and refused transfers are completed here.
bool UsbDevice::submitPipeRequest(PIRP irp, PURB urb, NTSTATUS& status) {
  USHORT function = urb->UrbHeader.Function;
  USBD_STATUS result = USBD_STATUS_SUCCESS;
  UsbPipe pipe;
  if (!connected()) {
    result = USBD_STATUS_DEVICE_GONE;
  } else if (!(portStatus() & USBD_PORT_ENABLED)) {
    result = USBD_STATUS_DEV_NOT_RESPONDING;
  } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if (!fits(transfer)) {
      result = USBD_STATUS_INVALID_PARAMETER;
    } else if (!findPipe(transfer.PipeHandle, pipe) ||
               (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt)) {
      result = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else {
      if (transfer.TransferBufferMDL != nullptr && transfer.TransferBuffer == nullptr) {
        // A freed or foreign MDL stops the machine here, not later on the bus thread.
        Machine::current().mdls().capacity(transfer.TransferBufferMDL, "IOCTL_INTERNAL_USB_SUBMIT_URB",
                                           __builtin_return_address(0));
        if (transfer.TransferBufferMDL->ByteCount < transfer.TransferBufferLength) {
          result = USBD_STATUS_INVALID_PARAMETER;
        }
      } else if (transfer.TransferBuffer == nullptr && transfer.TransferBufferLength != 0) {
        result = USBD_STATUS_INVALID_PARAMETER;
      }
      if (USBD_SUCCESS(result)) {
        QueuedTransfer queued;
        queued.device = this;
        queued.irp = irp;
        queued.urb = urb;
        queued.pipe = pipe.handle;
        queued.endpoint = pipe.endpointAddress;
        queued.data = transferData(transfer);
        queued.plan = model_->planBulkTransfer(pipe.endpointAddress);
        queued.due = Machine::current().scheduler().now() +
                     queued.plan.delayMilliseconds * Scheduler::kUnitsPerMillisecond;
        status = bus_.queue(queued);
        return true;
      }
    }
  } else {
    struct _URB_PIPE_REQUEST& request = urb->UrbPipeRequest;
    if (!fits(request)) {
      result = USBD_STATUS_INVALID_PARAMETER;
    } else if (!findPipe(request.PipeHandle, pipe)) {
      result = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (function == URB_FUNCTION_RESET_PIPE) {
      bus_.resetPipe(pipe.handle);
    } else {
      bus_.abortPipe(pipe.handle);
    }
  }
  // A refused transfer moved nothing.
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && fits(urb->UrbBulkOrInterruptTransfer)) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  }
  urb->UrbHeader.Status = result;
  status = ntStatusFor(result);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
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
// The device is unconfigured: its handles and settings are gone.
void UsbDevice::forgetConfiguration() {
  configurationHandle_ = nullptr;
  configurationValue_ = 0;
  alternateSettings_.clear();
  pipes_.clear();
}

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
    forgetConfiguration();
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
  forgetConfiguration();
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
  UsbDevice* plugged;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ULONG port = 1;
    while (std::any_of(devices_.begin(), devices_.end(),
                       [&](const auto& device) { return device->port() == port; })) {
      port++;
    }
    auto taken = [this](const std::u16string& path) {
      return std::any_of(devices_.begin(), devices_.end(),
                         [&](const auto& device) { return device->instancePath() == path; });
    };
    PhysicalDevice& physical =
        Machine::current().plugPhysicalDevice(instancePathFor(model->description(), port, taken));
    devices_.push_back(std::make_unique<UsbDevice>(*this, physical, port, std::move(model)));
    plugged = devices_.back().get();
    physical.setHandler([plugged](PIRP irp) { return plugged->dispatch(irp); });
    plugged->model().setChangeNotifier([this] { changed(); });
    if (threadRecord_ == nullptr) startThread();
  }
  Machine::current().pnp().deviceArrived(plugged->pdo(), plugged->instancePath(), [this, plugged] { remove(*plugged); });
  return *plugged;
}

UsbDevice& UsbBus::plugPrinter(PrinterConfig config) {
  return plug(std::make_unique<SimulatedPrinter>(std::move(config)));
}

void UsbBus::unplug(UsbDevice& device) {
  PnpManager& pnp = Machine::current().pnp();
  DeviceNode* node = pnp.find(device.pdo());
  PDEVICE_OBJECT attached = device.pdo()->AttachedDevice;
  if (attached != nullptr && (node == nullptr || node->driver == nullptr)) {
    bugCheck("USB_DEVICE_IN_USE",
             format("the USB device on port %u (%s) was unplugged while device %p, which no Plug and Play stack "
                    "built, is attached to its physical device",
                    device.port(), toUtf8(device.instancePath()).c_str(), static_cast<void*>(attached)));
  }
  device.disconnect();
  std::vector<QueuedTransfer> gone = takeAll([&](const QueuedTransfer& queued) { return queued.device == &device; });
  finish(gone, USBD_STATUS_DEVICE_GONE);
  changed();
  if (node == nullptr) {
    remove(device);
  } else {
    pnp.deviceGone(*node);
  }
}

NTSTATUS UsbBus::removeSafely(UsbDevice& device) {
  PnpManager& pnp = Machine::current().pnp();
  DeviceNode* node = pnp.find(device.pdo());
  if (node == nullptr) {
    remove(device);
    return STATUS_SUCCESS;
  }
  return pnp.removeOrderly(*node);
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
  std::vector<QueuedTransfer> gone = takeAll([&](const QueuedTransfer& queued) { return queued.device == &device; });
  {
    // The bus thread may be ending one of the device's transfers right now.
    Scheduler& scheduler = Machine::current().scheduler();
    std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
    scheduler.block(
        held, [this, &device] { return busy_.load() != &device; }, Scheduler::kNoDeadline,
        [] { return std::string("the USB bus thread to end a transfer of an unplugged device"); });
  }
  finish(gone, USBD_STATUS_DEVICE_GONE);
  Machine::current().removePhysicalDevice(device.physical());
  std::lock_guard<std::mutex> guard(lock_);
  devices_.remove_if([&](const std::unique_ptr<UsbDevice>& entry) { return entry.get() == &device; });
}

// ---- the bus thread ----------------------------------------------------------

UsbBus::~UsbBus() {
  // A machine that stopped on a verifier finding may not have stopped the thread.
  if (thread_.joinable()) thread_.detach();
}

void UsbBus::changed() {
  Scheduler& scheduler = Machine::current().scheduler();
  std::lock_guard<std::mutex> held(scheduler.dispatcherLock());
  generation_++;
  scheduler.stateChanged();
}

NTSTATUS UsbBus::queue(QueuedTransfer transfer) {
  PIRP irp = transfer.irp;
  IoMarkIrpPending(irp);
  bool cancelledAlready = false;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (checksCancelFlag_ && irp->Cancel) {
      cancelledAlready = true;
    } else {
      IoSetCancelRoutine(irp, cancelQueuedRequest);
      queue_.push_back(transfer);
    }
  }
  IoReleaseCancelSpinLock(irql);
  if (cancelledAlready) {
    std::vector<QueuedTransfer> one{transfer};
    finish(one, USBD_STATUS_CANCELED);
  } else {
    changed();
  }
  return STATUS_PENDING;
}

void UsbBus::cancelled(PIRP irp) {
  std::vector<QueuedTransfer> found;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) {
      if (entry->irp == irp) {
        found.push_back(*entry);
        queue_.erase(entry);
        break;
      }
    }
  }
  if (found.empty()) bugCheck("USB_BUS_INTERNAL", "the cancel routine found no queued request for its IRP");
  finish(found, USBD_STATUS_CANCELED);
  changed();
}

std::vector<QueuedTransfer> UsbBus::takeAll(const std::function<bool(const QueuedTransfer&)>& which) {
  std::vector<QueuedTransfer> taken;
  std::lock_guard<std::mutex> guard(queueLock_);
  for (auto entry = queue_.begin(); entry != queue_.end();) {
    if (!entry->cancelling && which(*entry)) {
      if (IoSetCancelRoutine(entry->irp, nullptr) == nullptr) {
        // Its cancel routine runs and ends it.
        entry->cancelling = true;
      } else {
        taken.push_back(*entry);
        entry = queue_.erase(entry);
        continue;
      }
    }
    ++entry;
  }
  return taken;
}

// Ends requests taken out of the queue with a status and no data, at DISPATCH_LEVEL.
void UsbBus::finish(std::vector<QueuedTransfer>& transfers, USBD_STATUS status) {
  for (QueuedTransfer& transfer : transfers) {
    transfer.urb->UrbHeader.Status = status;
    if (transfer.pipe != nullptr) transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    else transfer.urb->UrbControlTransfer.TransferBufferLength = 0;
    transfer.irp->IoStatus.Status = ntStatusFor(status);
    transfer.irp->IoStatus.Information = 0;
    KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
    IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
    KfLowerIrql(irql);
  }
}

void UsbBus::resetPipe(USBD_PIPE_HANDLE pipe) {
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    halted_.erase(pipe);
  }
  changed();
}

void UsbBus::abortPipe(USBD_PIPE_HANDLE pipe) {
  std::vector<QueuedTransfer> aborted = takeAll([pipe](const QueuedTransfer& queued) { return queued.pipe == pipe; });
  finish(aborted, USBD_STATUS_CANCELED);
  changed();
}

bool UsbBus::halted(USBD_PIPE_HANDLE pipe) {
  std::lock_guard<std::mutex> guard(queueLock_);
  return halted_.count(pipe) != 0;
}

void UsbBus::startThread() {
  threadRecord_ = &Machine::current().scheduler().addThread("usb bus");
  thread_ = std::thread([this] {
    bindCurrentThread(threadRecord_);
    run();
    bindCurrentThread(nullptr);
    Machine::current().scheduler().finishThread(*threadRecord_);
  });
}

void UsbBus::stop() {
  if (threadRecord_ == nullptr) return;
  stopping_ = true;
  changed();
  thread_.join();
  threadRecord_ = nullptr;
  stopping_ = false;
}

// Picks the first transfer the device answers now: the head of its pipe, due,
// not held, and for IN with data to send. Otherwise gives the earliest time a
// head comes due and how many wait on something else.
bool UsbBus::nextDue(QueuedTransfer& transfer, uint64_t& deadline, size_t& waiting) {
  uint64_t now = Machine::current().scheduler().now();
  deadline = Scheduler::kNoDeadline;
  waiting = 0;
  std::set<USBD_PIPE_HANDLE> seen;
  std::lock_guard<std::mutex> guard(queueLock_);
  for (auto entry = queue_.begin(); entry != queue_.end(); ++entry) {
    if (entry->cancelling) continue;
    // Transfers of one pipe end in order: only the first of each is looked at.
    if (entry->pipe == nullptr || !seen.insert(entry->pipe).second) {
      waiting++;
      continue;
    }
    bool halted = halted_.count(entry->pipe) != 0;
    if (!halted && entry->plan.action == BulkPlan::Action::Hold) {
      waiting++;
      continue;
    }
    if (!halted && entry->due > now) {
      deadline = std::min(deadline, entry->due);
      continue;
    }
    if (!halted && entry->plan.action == BulkPlan::Action::Normal && (entry->endpoint & kUsbDirectionIn) != 0 &&
        !entry->device->model().inDataReady()) {
      waiting++;  // NAKed until the device has a reply
      continue;
    }
    if (IoSetCancelRoutine(entry->irp, nullptr) == nullptr) {
      entry->cancelling = true;
      continue;
    }
    transfer = *entry;
    queue_.erase(entry);
    busy_ = transfer.device;
    return true;
  }
  return false;
}

// Runs the transfer on the device and completes it, at DISPATCH_LEVEL.
void UsbBus::complete(QueuedTransfer& transfer) {
  if (transfer.plan.action == BulkPlan::Action::FailRequest) {
    // The request fails before the transfer reaches the device: the URB stays as it was submitted.
    transfer.irp->IoStatus.Status = transfer.plan.requestStatus;
    transfer.irp->IoStatus.Information = 0;
    IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
    return;
  }
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& urb = transfer.urb->UrbBulkOrInterruptTransfer;
  ULONG requested = urb.TransferBufferLength;
  UCHAR* data = transfer.data;
  UsbDeviceModel& model = transfer.device->model();
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  ULONG allowed = requested;
  bool wasHalted;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    wasHalted = halted_.count(transfer.pipe) != 0;
    if (!wasHalted && transfer.plan.action == BulkPlan::Action::Stall) halted_.insert(transfer.pipe);
  }
  if (wasHalted || transfer.plan.action == BulkPlan::Action::Stall) {
    status = USBD_STATUS_ENDPOINT_HALTED;
    allowed = 0;
  } else if (transfer.plan.action == BulkPlan::Action::Fail) {
    status = transfer.plan.status;
    allowed = std::min(requested, transfer.plan.bytes);
  }
  std::vector<UCHAR> moved;
  if (wasHalted) {
    // A halted endpoint takes no part: the host controller refuses the transfer.
  } else {
    moved = model.bulkTransfer(transfer.endpoint, data, allowed, requested, status);
  }
  if ((transfer.endpoint & kUsbDirectionIn) != 0 && !moved.empty()) memcpy(data, moved.data(), moved.size());
  ULONG count = (transfer.endpoint & kUsbDirectionIn) != 0 ? static_cast<ULONG>(moved.size()) : allowed;
  urb.TransferBufferLength = count;
  urb.Hdr.Status = status;
  transfer.irp->IoStatus.Status = ntStatusFor(status);
  transfer.irp->IoStatus.Information = 0;
  IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
}

void UsbBus::run() {
  Scheduler& scheduler = Machine::current().scheduler();
  for (;;) {
    uint64_t seen = generation_.load();
    QueuedTransfer transfer;
    uint64_t deadline;
    size_t waiting;
    if (nextDue(transfer, deadline, waiting)) {
      KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
      complete(transfer);
      KfLowerIrql(irql);
      busy_ = nullptr;
      changed();
      continue;
    }
    std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
    if (stopping_) return;
    scheduler.block(
        held, [this, seen] { return stopping_.load() || generation_.load() != seen; }, deadline,
        [waiting] {
          return format("nothing due on the USB bus (%zu request(s) held, NAKed or behind another)", waiting);
        });
  }
}

}  // namespace nrv
