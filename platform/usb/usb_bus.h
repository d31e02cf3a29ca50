// The USB bus: a bus driver that reports one physical device per plugged USB
// device and answers its URBs and internal requests from the device's model.
//
// Each URB becomes the control transfers a host controller would send to the
// device (GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE, class and vendor
// requests), which the model answers and logs. Control requests and pipe
// reset and abort are answered at once, in the caller's thread. Bulk
// transfers always pend: the bus thread, a machine thread that runs at
// DISPATCH_LEVEL while it completes them as a DPC would, ends each one when
// the device answers it, on the virtual clock. A control request the device
// never answers pends too, until cancelled.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "machine/thread_context.h"
#include "usb/simulated_printer.h"
#include "usb/usb_device_model.h"

namespace nrv {

class PhysicalDevice;
class UsbBus;

// A pipe of the device's current configuration, as the bus handed it out.
struct UsbPipe {
  USBD_PIPE_HANDLE handle = nullptr;
  UCHAR interfaceNumber = 0;
  UCHAR endpointAddress = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  USHORT maxPacketSize = 0;
};

// A device plugged into a port of the bus.
class UsbDevice {
 public:
  UsbDevice(UsbBus& bus, PhysicalDevice& physical, ULONG port, std::unique_ptr<UsbDeviceModel> model);
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  PhysicalDevice& physical() const { return *physical_; }
  PDEVICE_OBJECT pdo() const;
  const std::u16string& instancePath() const;
  ULONG port() const { return port_; }
  UsbDeviceModel& model() const { return *model_; }
  // The model as a printer; stops the machine when the device is something else.
  SimulatedPrinter& printer() const;
  // Every control transfer the device has seen.
  std::vector<UsbRequestRecord> log() const { return model_->log(); }

  // USBD_PORT_CONNECTED, and USBD_PORT_ENABLED unless the port was disabled;
  // 0 once the device is disconnected.
  ULONG portStatus() const;
  // The cable is pulled: every request fails with USBD_STATUS_DEVICE_GONE from now on.
  void disconnect();
  bool connected() const;
  // Disables the port, as a hub does after an error on it: URBs then fail with
  // USBD_STATUS_DEV_NOT_RESPONDING until a port reset enables it again.
  void disablePort();
  unsigned portResets() const;

  // The configuration selected through the bus.
  bool configured() const;
  USBD_CONFIGURATION_HANDLE configurationHandle() const;
  std::vector<UsbPipe> pipes() const;

  // The bus driver's dispatch for this device's physical device object.
  NTSTATUS dispatch(PIRP irp);

 private:
  // Plug and Play requests to the physical device object.
  NTSTATUS pnp(PIRP irp);
  void fillCapabilities(DEVICE_CAPABILITIES& capabilities) const;
  NTSTATUS internalDeviceControl(PIO_STACK_LOCATION stack);
  // Bulk transfers and pipe requests; true when the URB was one of them.
  bool submitPipeRequest(PIRP irp, PURB urb, NTSTATUS& status);
  bool findPipe(USBD_PIPE_HANDLE handle, UsbPipe& pipe) const;
  USBD_STATUS submit(PURB urb);
  USBD_STATUS getDescriptor(struct _URB_CONTROL_DESCRIPTOR_REQUEST& urb);
  USBD_STATUS classOrVendor(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb);
  USBD_STATUS selectConfiguration(struct _URB_SELECT_CONFIGURATION& urb);
  void forgetConfiguration();
  USBD_STATUS controlTransfer(UsbControlRequest request, PVOID buffer, PMDL mdl, ULONG& length);
  void resetPort();

  UsbBus& bus_;
  PhysicalDevice* physical_;
  ULONG port_;
  std::unique_ptr<UsbDeviceModel> model_;

  // Held while a request is served, so that requests reach the device one at a
  // time; released before the IRP is completed.
  mutable std::mutex lock_;
  bool portEnabled_ = true;
  bool connected_ = true;
  unsigned portResets_ = 0;
  USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UCHAR> alternateSettings_;  // interface number -> selected setting
  std::vector<UsbPipe> pipes_;
};

// A request the bus holds until the device answers it, the bus thread ends
// it, or it is cancelled.
struct QueuedTransfer {
  UsbDevice* device = nullptr;
  PIRP irp = nullptr;
  PURB urb = nullptr;
  USBD_PIPE_HANDLE pipe = nullptr;  // null for a control request the device does not answer
  UCHAR endpoint = 0;
  UCHAR* data = nullptr;  // the transfer's bytes, mapped when it was submitted
  BulkPlan plan;
  uint64_t due = 0;         // virtual time at which the device answers
  bool cancelling = false;  // its cancel routine runs and will take it away
};

class UsbBus {
 public:
  UsbBus() = default;
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Plugs a device into the lowest free port and reports it to the Plug and
  // Play manager. Its physical device is named USB\VID_vvvv&PID_pppp\<serial
  // number>, or by its port when it reports no serial number string (or one a
  // device already plugged in shows), as Windows 2000 names such devices.
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

  // A handle value never handed out before on this machine; handles are
  // opaque to drivers, so a stale one can always be told from a live one.
  PVOID newHandle();

  // Whether a request submitted with its Cancel flag already set ends at once
  // as cancelled (the default) or is queued like any other, as a bus that
  // looks only at cancels arriving later would do.
  void checkCancelFlagAtSubmission(bool check) { checksCancelFlag_ = check; }

  // Marks the IRP pending and holds it, cancellable, for the bus thread;
  // returns STATUS_PENDING.
  NTSTATUS queue(QueuedTransfer transfer);
  // The cancel routine's work: takes the IRP out of the queue and ends it.
  void cancelled(PIRP irp);
  // URB_FUNCTION_RESET_PIPE and URB_FUNCTION_ABORT_PIPE.
  void resetPipe(USBD_PIPE_HANDLE pipe);
  void abortPipe(USBD_PIPE_HANDLE pipe);
  bool halted(USBD_PIPE_HANDLE pipe);
  // Stops the bus thread; every device must be gone.
  void stop();

 private:
  void remove(UsbDevice& device);
  void startThread();
  void run();
  // Takes out the queued requests that match and whose cancel routine has not
  // started; the caller ends them.
  std::vector<QueuedTransfer> takeAll(const std::function<bool(const QueuedTransfer&)>& which);
  void finish(std::vector<QueuedTransfer>& transfers, USBD_STATUS status);
  bool nextDue(QueuedTransfer& transfer, uint64_t& deadline, size_t& waiting);
  void complete(QueuedTransfer& transfer);
  void changed();

  std::mutex lock_;
  std::list<std::unique_ptr<UsbDevice>> devices_;
  uintptr_t lastHandle_ = 0;

  // The bus thread's queue, in submission order; guarded by queueLock_, taken
  // before no other lock but the cancel spin lock.
  std::mutex queueLock_;
  std::list<QueuedTransfer> queue_;
  std::set<USBD_PIPE_HANDLE> halted_;
  std::atomic<bool> checksCancelFlag_{true};
  // Bumped after every change the bus thread must look at.
  std::atomic<uint64_t> generation_{0};
  std::atomic<bool> stopping_{false};
  // The device whose transfer the bus thread is ending, so unplug can wait for it.
  std::atomic<UsbDevice*> busy_{nullptr};
  ThreadRecord* threadRecord_ = nullptr;
  std::thread thread_;
};

}  // namespace nrv
