// A client of a simulated printer's bulk pipes on a machine of its own: the
// configuration selected as a client driver selects it, and URBs sent the way
// a client driver sends them.
#pragma once

#include <gtest/gtest.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <memory>
#include <numeric>
#include <vector>

#include "machine/machine.h"

namespace usb_bulk {

using Bytes = std::vector<UCHAR>;
inline constexpr UCHAR kOut = 0x01;
inline constexpr UCHAR kIn = 0x82;
inline constexpr uint64_t kMs = nrv::Scheduler::kUnitsPerMillisecond;

inline Bytes pattern(size_t length) {
  Bytes bytes(length);
  std::iota(bytes.begin(), bytes.end(), UCHAR{1});
  return bytes;
}

// One URB in flight, sent the way a client driver sends it.
struct Submission {
  URB urb{};
  std::unique_ptr<nrv::PendingRequest> request;
  NTSTATUS status() { return request->status().Status; }
  USBD_STATUS usbd() const { return urb.UrbHeader.Status; }
  ULONG moved() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

class UsbBulkFixture : public ::testing::Test {
 protected:
  // traffic: a listener the machine tells of every request, from its start.
  explicit UsbBulkFixture(nrv::PrinterConfig config = {}, nrv::UsbTrafficListener* traffic = nullptr)
      : machine(nrv::MachineOptions{nrv::OsProfile::Windows2000, traffic}),
        device(machine.usb().plugPrinter(std::move(config))) {}

  void SetUp() override {
    Bytes config(255);
    URB get{};
    UsbBuildGetDescriptorRequest(&get, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config.data(), nullptr, 255,
                                 nullptr);
    ASSERT_EQ(send(&get)->returned(), STATUS_SUCCESS);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr}, {}};
    PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
    ASSERT_EQ(send(select)->returned(), STATUS_SUCCESS);
    ExFreePool(select);
    for (const nrv::UsbPipe& pipe : device.pipes()) (pipe.endpointAddress == kOut ? out : in) = pipe.handle;
  }

  // cancelledBefore: the IRP carries a Cancel flag from an earlier IoCancelIrp that found no routine.
  std::unique_ptr<nrv::PendingRequest> send(PURB urb, bool cancelledBefore = false) {
    return machine.io().start(device.pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, nullptr,
                              [urb, cancelledBefore](PIRP irp, PIO_STACK_LOCATION stack) {
                                stack->Parameters.DeviceIoControl.IoControlCode =
                                    IOCTL_INTERNAL_USB_SUBMIT_URB;
                                stack->Parameters.Others.Argument1 = urb;
                                irp->Cancel = cancelledBefore;
                              });
  }

  std::unique_ptr<Submission> bulk(USBD_PIPE_HANDLE pipe, PVOID buffer, PMDL mdl, ULONG length,
                                   bool cancelledBefore = false) {
    auto submission = std::make_unique<Submission>();
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& urb = submission->urb.UrbBulkOrInterruptTransfer;
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe;
    urb.TransferFlags = pipe == in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
    urb.TransferBuffer = buffer;
    urb.TransferBufferMDL = mdl;
    urb.TransferBufferLength = length;
    submission->request = send(&submission->urb, cancelledBefore);
    EXPECT_EQ(submission->request->returned(), STATUS_PENDING);
    return submission;
  }

  NTSTATUS pipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return send(&urb)->returned();
  }

  nrv::Machine machine;
  nrv::UsbDevice& device;
  nrv::SimulatedPrinter& printer = device.printer();
  USBD_PIPE_HANDLE out = nullptr;
  USBD_PIPE_HANDLE in = nullptr;
};

}  // namespace usb_bulk
