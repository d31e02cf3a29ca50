#include "usb/usb_device.h"

#include <usbioctl.h>

#include <array>
#include <cstring>

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/mdl_tracker.h"
#include "kernel/physical_device.h"
#include "usb/usb_bus.h"

namespace nrv {

namespace {

template <typename Request>
bool fits(const Request& urb) {
  return urb.Hdr.Length >= sizeof(Request);
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

// Control transfers run on the default pipe, endpoint 0, in the data stage's direction.
UCHAR controlEndpoint(const UsbControlRequest& request) { return request.in() ? kUsbDirectionIn : 0; }

// The direction of a control URB, for the completion of one the device never answered.
UCHAR controlEndpoint(PURB urb) {
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return kUsbDirectionIn;
  return (urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ? kUsbDirectionIn
                                                                                             : 0;
}

std::array<UCHAR, 8> setupPacket(const UsbControlRequest& request) {
  return {request.requestType,
          request.request,
          static_cast<UCHAR>(request.value & 0xFF),
          static_cast<UCHAR>(request.value >> 8),
          static_cast<UCHAR>(request.index & 0xFF),
          static_cast<UCHAR>(request.index >> 8),
          static_cast<UCHAR>(request.length & 0xFF),
          static_cast<UCHAR>(request.length >> 8)};
}

}  // namespace

NTSTATUS requestStatusFor(USBD_STATUS status) {
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

UsbDevice::UsbDevice(UsbBus& bus, MdlTracker& mdls, PhysicalDevice& physical, ULONG port,
                     std::unique_ptr<UsbDeviceModel> model)
    : bus_(bus), mdls_(mdls), physical_(&physical), port_(port), model_(std::move(model)) {}

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
  if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return physical_->answerAsBusDriver(irp);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  NTSTATUS status;
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
      isPipeRequest(urb->UrbHeader.Function)) {
    if (submitPipeRequest(irp, urb, status)) return status;
  } else {
    status = internalDeviceControl(irp);
    if (status == STATUS_PENDING) {
      // The device does not answer this control request; it waits until cancelled.
      QueuedTransfer held;
      held.device = this;
      held.irp = irp;
      held.urb = urb;
      held.endpoint = controlEndpoint(urb);
      held.plan.action = BulkPlan::Action::Hold;
      return bus_.queue(held);
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbDevice::internalDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PVOID argument = stack->Parameters.Others.Argument1;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
      auto* urb = static_cast<PURB>(argument);
      if (urb == nullptr) return STATUS_INVALID_PARAMETER;
      USBD_STATUS status;
      {
        std::lock_guard<std::mutex> guard(lock_);
        servedRequest_ = reinterpret_cast<uintptr_t>(irp);
        // A disabled port passes no traffic until it is reset; a gone device none at all.
        status = !connected_    ? USBD_STATUS_DEVICE_GONE
                 : portEnabled_ ? submit(urb)
                                : USBD_STATUS_DEV_NOT_RESPONDING;
        servedRequest_ = 0;
      }
      urb->UrbHeader.Status = status;
      return requestStatusFor(status);
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
  reportControlSubmitted(request);
  UsbControlReply reply = model_->control(request);
  if (reply.status == USBD_STATUS_PENDING) {
    length = 0;
    return reply.status;
  }
  if (!USBD_SUCCESS(reply.status)) reply.data.clear();
  reportControlCompleted(request, reply);
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

// A capture sees a control transfer's setup packet, with its OUT data in a
// data stage of its own, as it goes down.
void UsbDevice::reportControlSubmitted(const UsbControlRequest& request) {
  if (!bus_.tapped()) return;
  UsbTrafficPacket packet =
      trafficPacket(request.urbFunction, controlEndpoint(request), UsbTransferKind::Control);
  packet.setup = setupPacket(request);
  bus_.report(packet);
  if (request.outData.empty()) return;
  packet.stage = UsbControlStage::Data;
  packet.data = request.outData.data();
  packet.length = request.outData.size();
  bus_.report(packet);
}

void UsbDevice::reportControlCompleted(const UsbControlRequest& request, const UsbControlReply& reply) {
  if (!bus_.tapped()) return;
  UsbTrafficPacket packet =
      trafficPacket(request.urbFunction, controlEndpoint(request), UsbTransferKind::Control);
  packet.completion = true;
  packet.stage = UsbControlStage::Complete;
  packet.status = reply.status;
  packet.data = reply.data.data();
  packet.length = reply.data.size();
  bus_.report(packet);
}

// Pipe requests and bulk transfers refused at once; a refused request for a
// pipe the device does not have goes to endpoint 0.
void UsbDevice::reportPipeRequest(PIRP irp, USHORT function, UCHAR endpoint, bool completion,
                                  USBD_STATUS status) {
  if (!bus_.tapped()) return;
  UsbTrafficPacket packet;
  packet.requestId = reinterpret_cast<uintptr_t>(irp);
  packet.function = function;
  packet.device = static_cast<USHORT>(port_);
  packet.endpoint = endpoint;
  packet.transfer =
      function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? UsbTransferKind::Bulk : UsbTransferKind::Other;
  packet.completion = completion;
  packet.status = status;
  bus_.report(packet);
}

UsbTrafficPacket UsbDevice::trafficPacket(USHORT function, UCHAR endpoint, UsbTransferKind kind) const {
  UsbTrafficPacket packet;
  packet.requestId = servedRequest_;
  // The bus's own requests after a port reset are plain control transfers on the wire.
  packet.function = function == kUsbBusOwnRequest ? URB_FUNCTION_CONTROL_TRANSFER : function;
  packet.device = static_cast<USHORT>(port_);
  packet.endpoint = endpoint;
  packet.transfer = kind;
  return packet;
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
        mdls_.capacity(transfer.TransferBufferMDL, "IOCTL_INTERNAL_USB_SUBMIT_URB",
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
        queued.maxPacketSize = pipe.maxPacketSize;
        queued.kind = pipe.type == UsbdPipeTypeInterrupt ? UsbTransferKind::Interrupt : UsbTransferKind::Bulk;
        queued.data = transferData(transfer);
        queued.plan = model_->planBulkTransfer(pipe.endpointAddress);
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
    } else {
      reportPipeRequest(irp, function, pipe.endpointAddress, false, USBD_STATUS_SUCCESS);
      if (function == URB_FUNCTION_RESET_PIPE) {
        bus_.resetPipe(pipe.handle);
      } else {
        bus_.abortPipe(pipe.handle);
      }
      reportPipeRequest(irp, function, pipe.endpointAddress, true, result);
    }
  }
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    // A refused transfer moved nothing.
    if (fits(urb->UrbBulkOrInterruptTransfer)) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    reportPipeRequest(irp, function, pipe.endpointAddress, false, USBD_STATUS_SUCCESS);
    reportPipeRequest(irp, function, pipe.endpointAddress, true, result);
  }
  urb->UrbHeader.Status = result;
  status = requestStatusFor(result);
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

}  // namespace nrv
