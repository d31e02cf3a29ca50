// A device plugged into a port of the USB bus: the bus driver's dispatch for
// its physical device object, and the URB interpreter that turns each URB into
// the control transfers a host controller would send to the device
// (GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE, class and vendor
// requests), which the device's model answers and logs. Control requests and
// pipe reset and abort are answered at once, in the caller's thread; bulk
// transfers go to the bus's queue (usb_bus.h).
#pragma once

#include <usb.h>
#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/simulated_printer.h"
#include "usb/usb_device_model.h"
#include "usb/usb_traffic.h"

namespace nrv {

class MdlTracker;
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

// The status an IRP carrying a URB ends with, for the URB's USBD status.
NTSTATUS requestStatusFor(USBD_STATUS status);

class UsbDevice {
 public:
  UsbDevice(UsbBus& bus, MdlTracker& mdls, PhysicalDevice& physical, ULONG port,
            std::unique_ptr<UsbDeviceModel> model);
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
  // An interface record of a select-configuration request and what the
  // configuration descriptor says of it.
  struct SelectedInterface;

  // Plug and Play requests to the physical device object (usb_device_pnp.cpp).
  NTSTATUS pnp(PIRP irp);
  void fillCapabilities(DEVICE_CAPABILITIES& capabilities) const;

  NTSTATUS internalDeviceControl(PIRP irp);
  // Bulk transfers and pipe requests; true when the URB was one of them.
  bool submitPipeRequest(PIRP irp, PURB urb, NTSTATUS& status);
  bool findPipe(USBD_PIPE_HANDLE handle, UsbPipe& pipe) const;
  USBD_STATUS submit(PURB urb);
  USBD_STATUS getDescriptor(struct _URB_CONTROL_DESCRIPTOR_REQUEST& urb);
  USBD_STATUS classOrVendor(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb);
  USBD_STATUS controlTransfer(UsbControlRequest request, PVOID buffer, PMDL mdl, ULONG& length);
  // What the bus's listener sees of a control transfer.
  void reportControlSubmitted(const UsbControlRequest& request);
  void reportControlCompleted(const UsbControlRequest& request, const UsbControlReply& reply);
  UsbTrafficPacket trafficPacket(USHORT function, UCHAR endpoint, UsbTransferKind kind) const;
  void reportPipeRequest(PIRP irp, USHORT function, UCHAR endpoint, bool completion, USBD_STATUS status);

  // Select configuration (usb_device_configuration.cpp), in three steps: the
  // request's interface records are checked against the descriptor, the
  // device is configured, and the records get their handles and pipes.
  USBD_STATUS selectConfiguration(struct _URB_SELECT_CONFIGURATION& urb);
  USBD_STATUS readSelection(struct _URB_SELECT_CONFIGURATION& urb, std::vector<SelectedInterface>& selected);
  USBD_STATUS setConfiguration(UCHAR configurationValue, USHORT urbFunction);
  // Interface number and alternate setting; setting 0 needs no request.
  USBD_STATUS setAlternateSettings(const std::vector<std::pair<UCHAR, UCHAR>>& settings, USHORT urbFunction);
  void handOutSelection(struct _URB_SELECT_CONFIGURATION& urb,
                        const std::vector<SelectedInterface>& selected);
  void forgetConfiguration();
  void resetPort();

  UsbBus& bus_;
  MdlTracker& mdls_;
  PhysicalDevice* physical_;
  ULONG port_;
  std::unique_ptr<UsbDeviceModel> model_;

  // Held while a request is served, so that requests reach the device one at a
  // time; released before the IRP is completed.
  mutable std::mutex lock_;
  bool portEnabled_ = true;
  bool connected_ = true;
  unsigned portResets_ = 0;
  uint64_t servedRequest_ = 0;  // the IRP whose URB is being served, 0 for the bus's own requests
  USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UCHAR> alternateSettings_;  // interface number -> selected setting
  std::vector<UsbPipe> pipes_;
};

}  // namespace nrv
