#include "usb/usb_bus.h"

#include <algorithm>
#include <cstring>

#include "base/bugcheck.h"
#include "base/scheduler.h"
#include "base/text.h"
#include "kernel/bus_driver.h"
#include "kernel/pnp_manager.h"
#include "kernel/power_manager.h"

namespace nrv {

namespace {

// The parent part of the instance ID the hub of the first bus gives a device
// without a usable serial number; the port number follows it.
constexpr unsigned kFirstHubInstance = 0x2D4F3F4;

// A serial number names the device only if every character may appear in an
// instance ID; otherwise the device is named by its port, as if it had none.
bool usableSerialNumber(const std::optional<std::u16string>& serial) {
  if (!serial || serial->empty()) return false;
  for (char16_t c : *serial) {
    if (c <= 0x20 || c > 0x7F || c == u',') return false;
  }
  return true;
}

// The link's rate for a pipe; a pipe without packets (a zero-bandwidth
// interrupt setting) is given the bulk packet size of its speed.
uint64_t linkRate(const QueuedTransfer& transfer) {
  UsbSpeed speed = transfer.device->model().description().speed;
  uint64_t packet =
      transfer.maxPacketSize != 0 ? transfer.maxPacketSize : linkTiming(speed).bulkMaxPacketSize;
  return linkBytesPerMillisecond(speed, packet);
}

bool isIn(const QueuedTransfer& transfer) { return (transfer.endpoint & kUsbDirectionIn) != 0; }

// The bytes the device takes or gives before the transfer ends.
ULONG bytesToMove(const QueuedTransfer& transfer) {
  ULONG requested = transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  ULONG allowed =
      transfer.plan.action == BulkPlan::Action::Fail ? std::min(requested, transfer.plan.bytes) : requested;
  return isIn(transfer) ? static_cast<ULONG>(transfer.device->model().inBytesReady(allowed)) : allowed;
}

// The packet a capture records for a queued request, before its data.
UsbTrafficPacket trafficPacket(const QueuedTransfer& transfer) {
  UsbTrafficPacket packet;
  packet.requestId = reinterpret_cast<uintptr_t>(transfer.irp);
  packet.function = transfer.urb->UrbHeader.Function;
  packet.device = static_cast<USHORT>(transfer.device->port());
  packet.endpoint = transfer.endpoint;
  packet.transfer = transfer.kind;
  return packet;
}

// The hub names a device by its vendor, product and revision first, then by
// vendor and product alone, so that an installation can match either.
std::vector<std::u16string> hardwareIdsOf(const UsbDeviceModel& model) {
  const UsbDeviceDescription& description = model.description();
  std::string withoutRevision = format("USB\\VID_%04X&PID_%04X", description.vendorId, description.productId);
  return {toUtf16(withoutRevision + format("&REV_%04X", description.deviceVersion)),
          toUtf16(withoutRevision)};
}

}  // namespace

UsbBus::UsbBus(unsigned number, BusDriver& busDriver, PnpManager& pnp, PowerManager& power,
               Scheduler& scheduler, MdlTracker& mdls)
    : number_(number), busDriver_(busDriver), pnp_(pnp), power_(power), scheduler_(scheduler), mdls_(mdls) {
  power_.addWakeListener([this] { reportArrivalsAfterWake(); });
}

// The hub reads the serial number from the device's string descriptor. One
// that a device already plugged in shows is not unique: the hub then names
// the device by its port, as for a device without one.
std::u16string UsbBus::instancePathFor(const UsbDeviceModel& model, ULONG port) {
  const UsbDeviceDescription& description = model.description();
  std::u16string path =
      toUtf16(format("USB\\VID_%04X&PID_%04X\\", description.vendorId, description.productId));
  std::optional<std::u16string> serial = model.serialNumberString();
  if (usableSerialNumber(serial) && std::none_of(devices_.begin(), devices_.end(), [&](const auto& device) {
        return device->instancePath() == path + *serial;
      })) {
    return path + *serial;
  }
  return path + toUtf16(format("5&%X&0&%u", kFirstHubInstance + (number_ - 1) * 0x1111111u, port));
}

UsbDevice& UsbBus::plug(std::unique_ptr<UsbDeviceModel> model) {
  if (model == nullptr) bugCheck("INVALID_USB_DEVICE", "UsbBus::plug was given no device model");
  UsbDevice* plugged;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (devices_.size() == kMaxDevices) {
      bugCheck("USB_BUS_FULL",
               format("bus %u already has %zu devices, every address it can hand out; plug the "
                      "device into another host controller",
                      number_, devices_.size()));
    }
    ULONG port = 1;
    while (std::any_of(devices_.begin(), devices_.end(),
                       [&](const auto& device) { return device->port() == port; })) {
      port++;
    }
    PhysicalDevice& physical =
        busDriver_.plug(instancePathFor(*model, port), u"USB Printing Support", hardwareIdsOf(*model));
    devices_.push_back(std::make_unique<UsbDevice>(*this, mdls_, physical, port, std::move(model)));
    plugged = devices_.back().get();
    physical.setHandler([plugged](PIRP irp) { return plugged->dispatch(irp); });
    plugged->model().setClock([this] { return scheduler_.now(); });
    plugged->model().setChangeNotifier([this] { changed(); });
    if (threadRecord_ == nullptr) startThread();
  }
  arrived(*plugged);
  return *plugged;
}

// A device that arrives while the machine sleeps is enumerated when it wakes.
void UsbBus::arrived(UsbDevice& device) {
  if (power_.systemPowerState() != PowerSystemWorking) {
    std::lock_guard<std::mutex> guard(lock_);
    waitingForWake_.push_back(&device);
    return;
  }
  pnp_.deviceArrived(device.pdo(), device.instancePath(), [this, &device] { remove(device); });
}

void UsbBus::reportArrivalsAfterWake() {
  std::vector<UsbDevice*> waiting;
  {
    std::lock_guard<std::mutex> guard(lock_);
    waiting.swap(waitingForWake_);
  }
  for (UsbDevice* device : waiting) arrived(*device);
}

bool UsbBus::waitsForWake(const UsbDevice& device) {
  std::lock_guard<std::mutex> guard(lock_);
  return std::find(waitingForWake_.begin(), waitingForWake_.end(), &device) != waitingForWake_.end();
}

UsbDevice& UsbBus::plugPrinter(PrinterConfig config) {
  return plug(std::make_unique<SimulatedPrinter>(std::move(config)));
}

void UsbBus::unplug(UsbDevice& device) {
  DeviceNode* node = pnp_.find(device.pdo());
  PDEVICE_OBJECT attached = device.pdo()->AttachedDevice;
  if (attached != nullptr && (node == nullptr || node->driver == nullptr)) {
    bugCheck(
        "USB_DEVICE_IN_USE",
        format("the USB device on port %u (%s) was unplugged while device %p, which no Plug and Play stack "
               "built, is attached to its physical device",
               device.port(), toUtf8(device.instancePath()).c_str(), static_cast<void*>(attached)));
  }
  device.disconnect();
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    unplugged_.insert(&device);
  }
  std::vector<QueuedTransfer> gone =
      takeAll([&](const QueuedTransfer& queued) { return queued.device == &device; });
  finish(gone, USBD_STATUS_DEVICE_GONE);
  changed();
  if (node == nullptr) {
    remove(device);
  } else {
    pnp_.deviceGone(*node);
  }
}

NTSTATUS UsbBus::removeSafely(UsbDevice& device) {
  DeviceNode* node = pnp_.find(device.pdo());
  if (node == nullptr) {
    remove(device);
    return STATUS_SUCCESS;
  }
  return pnp_.removeOrderly(*node);
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
  // Spaced like pool blocks, so that they look like the pointers real handles
  // are; each bus hands out its own range.
  lastHandle_ += 0x10;
  return reinterpret_cast<PVOID>(uintptr_t{0x7A5B0000} + (uintptr_t{number_} << 24) + lastHandle_);
}

void UsbBus::remove(UsbDevice& device) {
  std::vector<QueuedTransfer> gone =
      takeAll([&](const QueuedTransfer& queued) { return queued.device == &device; });
  {
    // The bus thread may be ending one of the device's transfers right now.
    std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
    scheduler_.block(
        held, [this, &device] { return busy_.load() != &device; }, Scheduler::kNoDeadline,
        [] { return std::string("the USB bus thread to end a transfer of an unplugged device"); });
  }
  finish(gone, USBD_STATUS_DEVICE_GONE);
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    unplugged_.erase(&device);
  }
  busDriver_.remove(device.physical());
  std::lock_guard<std::mutex> guard(lock_);
  waitingForWake_.erase(std::remove(waitingForWake_.begin(), waitingForWake_.end(), &device),
                        waitingForWake_.end());
  devices_.remove_if([&](const std::unique_ptr<UsbDevice>& entry) { return entry.get() == &device; });
}

// ---- the bus thread ----------------------------------------------------------

UsbBus::~UsbBus() {
  // A machine that stopped on a verifier finding may not have stopped the thread.
  if (thread_.joinable()) thread_.detach();
}

void UsbBus::changed() {
  std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
  generation_++;
  scheduler_.stateChanged();
}

// The bus owns a queued IRP, so its driver context may say whose it is.
VOID UsbBus::cancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  static_cast<UsbBus*>(irp->Tail.Overlay.DriverContext[0])->cancelled(irp);
}

NTSTATUS UsbBus::queue(QueuedTransfer transfer) {
  // A held control request was reported when it reached the device.
  if (transfer.pipe != nullptr) reportSubmitted(transfer);
  PIRP irp = transfer.irp;
  transfer.due = scheduler_.now() + transfer.plan.delayMilliseconds * Scheduler::kUnitsPerMillisecond;
  irp->Tail.Overlay.DriverContext[0] = this;
  IoMarkIrpPending(irp);
  bool cancelledAlready = false;
  bool deviceGone = false;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (unplugged_.count(transfer.device) != 0) {
      deviceGone = true;
    } else if (checksCancelFlag_ && irp->Cancel) {
      cancelledAlready = true;
    } else {
      IoSetCancelRoutine(irp, cancelQueuedRequest);
      queue_.push_back(transfer);
    }
  }
  IoReleaseCancelSpinLock(irql);
  if (deviceGone || cancelledAlready) {
    std::vector<QueuedTransfer> one{transfer};
    finish(one, deviceGone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
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
// An OUT transfer cut short leaves what its packets brought in the device's buffer.
void UsbBus::finish(std::vector<QueuedTransfer>& transfers, USBD_STATUS status) {
  for (QueuedTransfer& transfer : transfers) {
    if (transfer.started && !isIn(transfer)) transfer.device->model().withdrawOut();
    reportNak(transfer, false);
    reportCompleted(transfer, status, nullptr, 0);
    transfer.urb->UrbHeader.Status = status;
    if (transfer.pipe != nullptr)
      transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    else
      transfer.urb->UrbControlTransfer.TransferBufferLength = 0;
    transfer.irp->IoStatus.Status = requestStatusFor(status);
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
  std::vector<QueuedTransfer> aborted =
      takeAll([pipe](const QueuedTransfer& queued) { return queued.pipe == pipe; });
  finish(aborted, USBD_STATUS_CANCELED);
  changed();
}

bool UsbBus::halted(USBD_PIPE_HANDLE pipe) {
  std::lock_guard<std::mutex> guard(queueLock_);
  return halted_.count(pipe) != 0;
}

void UsbBus::startThread() {
  threadRecord_ = &scheduler_.addThread(format("usb bus %u", number_));
  thread_ = std::thread([this] {
    bindCurrentThread(threadRecord_);
    run();
    bindCurrentThread(nullptr);
    scheduler_.finishThread(*threadRecord_);
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

bool UsbBus::start(QueuedTransfer& transfer, uint64_t now) {
  UsbDeviceModel& model = transfer.device->model();
  if (isIn(transfer)) {
    if (transfer.plan.action == BulkPlan::Action::Normal && !model.inDataReady()) return false;
    uint64_t bytes = bytesToMove(transfer);
    uint64_t rate = linkRate(transfer);
    uint64_t units = (bytes * Scheduler::kUnitsPerMillisecond + rate - 1) / rate;
    transfer.endsAt = now + roundUpToFrames(model.description().speed, units);
  } else {
    // The device's one input buffer takes one transfer's packets at a time.
    if (model.offeringOut()) return false;
    model.offerOut(bytesToMove(transfer), linkRate(transfer));
  }
  transfer.started = true;
  transfer.startedAt = now;
  return true;
}

uint64_t UsbBus::endOf(const QueuedTransfer& transfer) {
  if (isIn(transfer)) return transfer.endsAt;
  UsbDeviceModel& model = transfer.device->model();
  uint64_t taken = model.outOfferTakenAt();
  if (taken == InputBuffer::kNever) return Scheduler::kNoDeadline;
  return transfer.startedAt + roundUpToFrames(model.description().speed, taken - transfer.startedAt);
}

// Picks the first transfer that ends now: the head of its pipe, due, not
// held, its packets moved. Starts the heads that may move. Otherwise gives
// the earliest time a head comes due or ends, and how many wait on something else.
bool UsbBus::nextDue(QueuedTransfer& transfer, uint64_t& deadline, size_t& waiting) {
  uint64_t now = scheduler_.now();
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
    BulkPlan::Action action = entry->plan.action;
    if (!halted && action == BulkPlan::Action::Hold) {
      waiting++;
      reportNak(*entry, true);  // a device that never answers NAKs every attempt
      continue;
    }
    if (!halted && entry->due > now) {
      deadline = std::min(deadline, entry->due);
      continue;
    }
    if (!halted && (action == BulkPlan::Action::Normal || action == BulkPlan::Action::Fail)) {
      if (!entry->started && !start(*entry, now)) {
        waiting++;  // NAKed: no reply yet, or the device's buffer is busy
        reportNak(*entry, true);
        continue;
      }
      uint64_t ends = endOf(*entry);
      reportNak(*entry, ends == Scheduler::kNoDeadline);
      if (ends > now) {
        if (ends == Scheduler::kNoDeadline) waiting++;  // NAKed until the device drains its buffer
        deadline = std::min(deadline, ends);
        continue;
      }
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
    reportCompleted(transfer, transfer.urb->UrbHeader.Status, nullptr, 0);
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
  if (transfer.started && !isIn(transfer)) model.withdrawOut();
  std::vector<UCHAR> moved;
  if (wasHalted) {
    // A halted endpoint takes no part: the host controller refuses the transfer.
  } else {
    moved = model.bulkTransfer(transfer.endpoint, data, allowed, requested, status);
  }
  if ((transfer.endpoint & kUsbDirectionIn) != 0 && !moved.empty()) memcpy(data, moved.data(), moved.size());
  ULONG count = (transfer.endpoint & kUsbDirectionIn) != 0 ? static_cast<ULONG>(moved.size()) : allowed;
  reportNak(transfer, false);
  reportCompleted(transfer, status, moved.data(), moved.size());
  urb.TransferBufferLength = count;
  urb.Hdr.Status = status;
  transfer.irp->IoStatus.Status = requestStatusFor(status);
  transfer.irp->IoStatus.Information = 0;
  IofCompleteRequest(transfer.irp, IO_NO_INCREMENT);
}

void UsbBus::report(UsbTrafficPacket packet) {
  if (listener_ == nullptr) return;
  packet.time = scheduler_.now();
  packet.bus = static_cast<USHORT>(number_);
  listener_->packet(packet);
}

void UsbBus::reportSubmitted(const QueuedTransfer& transfer) {
  if (!tapped()) return;
  UsbTrafficPacket packet = trafficPacket(transfer);
  if (!isIn(transfer)) {
    packet.data = transfer.data;
    packet.length = transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  report(packet);
}

// data: what an IN transfer brought.
void UsbBus::reportCompleted(const QueuedTransfer& transfer, USBD_STATUS status, const UCHAR* data,
                             size_t length) {
  if (!tapped()) return;
  UsbTrafficPacket packet = trafficPacket(transfer);
  packet.completion = true;
  packet.stage = UsbControlStage::Complete;
  packet.status = status;
  if (isIn(transfer)) {
    packet.data = data;
    packet.length = length;
  }
  report(packet);
}

void UsbBus::reportNak(QueuedTransfer& transfer, bool naked) {
  if (transfer.naked == naked) return;
  transfer.naked = naked;
  if (listener_ != nullptr) {
    listener_->nak(scheduler_.now(), static_cast<USHORT>(number_),
                   static_cast<USHORT>(transfer.device->port()), transfer.endpoint, naked);
  }
}

void UsbBus::run() {
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
    std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
    if (stopping_) return;
    scheduler_.block(
        held, [this, seen] { return stopping_.load() || generation_.load() != seen; }, deadline,
        [waiting] {
          return format("nothing due on the USB bus (%zu request(s) held, NAKed or behind another)", waiting);
        });
  }
}

}  // namespace nrv
