// What the bus tells a listener about its traffic: every request a driver
// submits to a device and every completion, as a capture tool sitting between
// the drivers and the host controller sees them, stamped with the machine's
// clock. Capture files and timelines are written from these.
#pragma once

#include <usb.h>
#include <wdm.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace nrv {

// The transfer kinds a capture header names; values as capture files store them.
enum class UsbTransferKind : UCHAR { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3, Other = 0xFE };

// Where a control transfer's packet belongs.
enum class UsbControlStage : UCHAR { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct UsbTrafficPacket {
  uint64_t time = 0;                         // the machine's clock, in 100 ns units
  uint64_t requestId = 0;                    // the same for a request and its completion (the IRP's address)
  USBD_STATUS status = USBD_STATUS_SUCCESS;  // meaningful on completions
  USHORT function = 0;                       // the URB_FUNCTION_* that carried the request
  bool completion = false;                   // on its way back from the host controller
  USHORT bus = 0;
  USHORT device = 0;   // the device's address on its bus
  UCHAR endpoint = 0;  // bit 7 set: IN
  UsbTransferKind transfer = UsbTransferKind::Control;
  UsbControlStage stage = UsbControlStage::Setup;  // control transfers only
  std::array<UCHAR, 8> setup{};                    // the setup packet of a control transfer's Setup stage
  // The bytes the packet carries: OUT data with a submission, IN data with a completion.
  const UCHAR* data = nullptr;
  size_t length = 0;
};

class UsbTrafficListener {
 public:
  virtual ~UsbTrafficListener() = default;
  // Called on the thread that submits or ends the request, at up to
  // DISPATCH_LEVEL, in the clock's order; data lives only for the call.
  virtual void packet(const UsbTrafficPacket& packet) = 0;
  // A bulk transfer at the head of its pipe is NAKed from now on (the device
  // has no data for it or no room), or moves again.
  virtual void nak(uint64_t time, USHORT bus, USHORT device, UCHAR endpoint, bool begins) {
    (void)time, (void)bus, (void)device, (void)endpoint, (void)begins;
  }
  // A new machine takes over from the one before (a restart): its clock starts again at 0.
  virtual void clockRestarted() {}
};

}  // namespace nrv
