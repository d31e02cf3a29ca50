// The USB bus of one host controller: ports for up to 127 devices, each
// reported to the Plug and Play manager as it arrives, and the queue of
// requests the devices have not answered yet.
//
// Bulk transfers always pend: the bus thread, a machine thread that runs at
// DISPATCH_LEVEL while it completes them as a DPC would, ends each one when
// the device answers it, on the virtual clock. A transfer takes the time its
// packets take on the link (usb_link.h), from the moment the head of its pipe
// is due: an IN transfer as long as the bytes the device sends, up to the
// short packet that ends a reply; an OUT transfer as long as the device's
// input buffer takes to accept its bytes, NAKing them while it is full. A
// transfer stays queued and cancellable until it ends. A control request the
// device never answers pends too, until cancelled. What a device does with
// each URB is usb_device.h's.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/thread_context.h"
#include "usb/simulated_printer.h"
#include "usb/usb_device.h"
#include "usb/usb_device_model.h"
#include "usb/usb_traffic.h"

namespace nrv {

class BusDriver;
class MdlTracker;
class PnpManager;
class PowerManager;
class Scheduler;

// A request the bus holds until the device answers it, the bus thread ends
// it, or it is cancelled.
struct QueuedTransfer {
  UsbDevice* device = nullptr;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  USBD_PIPE_HANDLE pipe = nullptr;  // null for a control request the device does not answer
  UCHAR endpoint = 0;               // for a control request: 0 or 0x80, the direction of its data stage
  UsbTransferKind kind = UsbTransferKind::Control;
  USHORT maxPacketSize = 0;
  UCHAR* data = nullptr;  // the transfer's bytes, mapped when it was submitted
  BulkPlan plan;
  uint64_t due = 0;         // virtual time at which the device answers
  bool cancelling = false;  // its cancel routine runs and will take it away
  // Set once its packets move: from then on it ends at the frame that carries its last one.
  bool started = false;
  uint64_t startedAt = 0;
  uint64_t endsAt = 0;  // for IN: the frame after the bytes the device sends
  bool naked = false;   // the device NAKs it: no data for it, or no room
};

class UsbBus {
 public:
  // The device addresses a USB bus hands out.
  static constexpr size_t kMaxDevices = 127;

  // number: the host controller's, from 1; it tells apart the names its hub
  // gives devices without a serial number.
  UsbBus(unsigned number, BusDriver& busDriver, PnpManager& pnp, PowerManager& power, Scheduler& scheduler,
         MdlTracker& mdls);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  unsigned number() const { return number_; }

  // Plugs a device into the lowest free port and reports it to the Plug and
  // Play manager, or, while the machine sleeps, when it wakes. Its physical
  // device is named USB\VID_vvvv&PID_pppp\<serial number> as its serial
  // number string descriptor reads, or by its port when it reports no serial
  // number (or one a device already plugged in shows), as Windows 2000 names
  // such devices. A 128th device stops the machine: plug it into another bus.
  UsbDevice& plug(std::unique_ptr<UsbDeviceModel> model);
  UsbDevice& plugPrinter(PrinterConfig config = {});
  // The cable is pulled: the device stops answering and its stack is removed
  // by surprise; the physical device goes once its last handle is closed.
  void unplug(UsbDevice& device);
  // Safe removal before the cable is pulled: query-remove, then remove. A veto
  // leaves the device plugged in and is returned.
  NTSTATUS removeSafely(UsbDevice& device);
  // At shutdown: takes every device away, whatever is still attached.
  void unplugAll();

  std::vector<UsbDevice*> devices();
  // Plugged while the machine sleeps: known to the bus, not yet to Plug and Play.
  bool waitsForWake(const UsbDevice& device);

  // A handle value never handed out before on this machine; handles are
  // opaque to drivers, so a stale one can always be told from a live one.
  PVOID newHandle();

  // Whether a request submitted with its Cancel flag already set ends at once
  // as cancelled (the default) or is queued like any other, as a bus that
  // looks only at cancels arriving later would do.
  void checkCancelFlagAtSubmission(bool check) { checksCancelFlag_ = check; }

  // Marks the IRP pending and holds it, cancellable, for the bus thread, due
  // after the plan's delay; returns STATUS_PENDING.
  NTSTATUS queue(QueuedTransfer transfer);
  // URB_FUNCTION_RESET_PIPE and URB_FUNCTION_ABORT_PIPE.
  void resetPipe(USBD_PIPE_HANDLE pipe);
  void abortPipe(USBD_PIPE_HANDLE pipe);
  bool halted(USBD_PIPE_HANDLE pipe);
  // Stops the bus thread; every device must be gone.
  void stop();

  // The listener that sees every request and completion on this bus; set
  // before the first device is plugged, and outliving the bus.
  void setTrafficListener(UsbTrafficListener* listener) { listener_ = listener; }
  bool tapped() const { return listener_ != nullptr; }
  // Stamps the packet with the clock and the bus's number and hands it to the listener.
  void report(UsbTrafficPacket packet);

 private:
  std::u16string instancePathFor(const UsbDeviceModel& model, ULONG port);
  void arrived(UsbDevice& device);
  void reportArrivalsAfterWake();
  void remove(UsbDevice& device);
  static VOID cancelQueuedRequest(PDEVICE_OBJECT device, PIRP irp);
  // The cancel routine's work: takes the IRP out of the queue and ends it.
  void cancelled(PIRP irp);
  void startThread();
  void run();
  // Takes out the queued requests that match and whose cancel routine has not
  // started; the caller ends them.
  std::vector<QueuedTransfer> takeAll(const std::function<bool(const QueuedTransfer&)>& which);
  void finish(std::vector<QueuedTransfer>& transfers, USBD_STATUS status);
  bool nextDue(QueuedTransfer& transfer, uint64_t& deadline, size_t& waiting);
  // Starts moving the packets of a transfer at the head of its pipe; false
  // while the device NAKs it before any packet (no IN data, its buffer busy with another OUT).
  bool start(QueuedTransfer& transfer, uint64_t now);
  // When a started transfer's last packet has gone, or Scheduler::kNoDeadline.
  uint64_t endOf(const QueuedTransfer& transfer);
  void complete(QueuedTransfer& transfer);
  void changed();
  // What the listener sees of a queued transfer.
  void reportSubmitted(const QueuedTransfer& transfer);
  void reportCompleted(const QueuedTransfer& transfer, USBD_STATUS status, const UCHAR* data, size_t length);
  void reportNak(QueuedTransfer& transfer, bool naked);

  const unsigned number_;
  BusDriver& busDriver_;
  PnpManager& pnp_;
  PowerManager& power_;
  Scheduler& scheduler_;
  MdlTracker& mdls_;

  std::mutex lock_;
  std::list<std::unique_ptr<UsbDevice>> devices_;
  std::vector<UsbDevice*> waitingForWake_;
  uintptr_t lastHandle_ = 0;

  // The bus thread's queue, in submission order; guarded by queueLock_, taken
  // before no other lock but the cancel spin lock.
  std::mutex queueLock_;
  std::list<QueuedTransfer> queue_;
  std::set<USBD_PIPE_HANDLE> halted_;
  // Unplugged and not yet removed: a transfer its stack submits is refused,
  // even one submitted while the cable was being pulled.
  std::set<const UsbDevice*> unplugged_;
  std::atomic<bool> checksCancelFlag_{true};
  // Bumped after every change the bus thread must look at.
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> stopping_{false};
  // The device whose transfer the bus thread is ending, so unplug can wait for it.
  std::atomic<UsbDevice*> busy_{nullptr};
  ThreadRecord* threadRecord_ = nullptr;
  std::thread thread_;
  UsbTrafficListener* listener_ = nullptr;
};

}  // namespace nrv
