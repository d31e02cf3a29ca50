// The USB bus and the simulated printer, driven the way a client driver drives
// them: URBs and internal requests in IRPs sent to the device's physical
// device object.
#include <gtest/gtest.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <set>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "death_test.h"

namespace {

using nrv::UsbDevice;
using Bytes = std::vector<UCHAR>;

struct Transfer {
  NTSTATUS status;
  USBD_STATUS usbd;
  ULONG length;
  Bytes data;
};

class UsbBus : public ::testing::Test {
 protected:
  nrv::IrpOutcome internal(UsbDevice& device, ULONG code, PVOID argument) {
    return machine.io().call(device.pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, nullptr,
                             [&](PIRP, PIO_STACK_LOCATION stack) {
                               stack->Parameters.DeviceIoControl.IoControlCode = code;
                               stack->Parameters.Others.Argument1 = argument;
                             });
  }

  NTSTATUS submit(UsbDevice& device, PURB urb) {
    nrv::IrpOutcome outcome = internal(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    EXPECT_EQ(outcome.returned, outcome.status.Status);
    EXPECT_EQ(outcome.status.Information, 0u);
    return outcome.status.Status;
  }

  Transfer getDescriptor(UsbDevice& device, UCHAR type, UCHAR index, USHORT language, ULONG length) {
    Bytes buffer(length);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 buffer.data(), nullptr, length, nullptr);
    NTSTATUS status = submit(device, &urb);
    ULONG moved = urb.UrbControlDescriptorRequest.TransferBufferLength;
    buffer.resize(std::min(moved, length));
    return Transfer{status, urb.UrbHeader.Status, moved, buffer};
  }

  Transfer classOrVendor(UsbDevice& device, USHORT function, ULONG flags, UCHAR bits, UCHAR request,
                         USHORT value, USHORT index, Bytes buffer) {
    URB urb{};
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& control = urb.UrbControlVendorClassRequest;
    control.Hdr.Length = sizeof(control);
    control.Hdr.Function = function;
    control.TransferFlags = flags;
    control.TransferBufferLength = static_cast<ULONG>(buffer.size());
    control.TransferBuffer = buffer.empty() ? nullptr : buffer.data();
    control.RequestTypeReservedBits = bits;
    control.Request = request;
    control.Value = value;
    control.Index = index;
    NTSTATUS status = submit(device, &urb);
    buffer.resize(std::min<size_t>(control.TransferBufferLength, buffer.size()));
    return Transfer{status, urb.UrbHeader.Status, control.TransferBufferLength, buffer};
  }

  Transfer deviceIdRequest(UsbDevice& device, ULONG length) {
    return classOrVendor(device, URB_FUNCTION_CLASS_INTERFACE,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0xA1, nrv::kPrinterGetDeviceId,
                         0, 0, Bytes(length));
  }

  Bytes configuration(UsbDevice& device) {
    Transfer head = getDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    EXPECT_EQ(head.status, STATUS_SUCCESS);
    return getDescriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head.data[2] | head.data[3] << 8)
        .data;
  }

  // A select-configuration request for the listed (number, setting) pairs; the caller frees it.
  PURB selectRequest(Bytes& config, std::vector<std::pair<LONG, LONG>> interfaces) {
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(interfaces.size() + 1);
    for (size_t index = 0; index < interfaces.size(); index++) {
      list[index].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
          descriptor, descriptor, interfaces[index].first, interfaces[index].second, -1, -1, -1);
      EXPECT_NE(list[index].InterfaceDescriptor, nullptr) << index;
    }
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    EXPECT_NE(urb, nullptr);
    return urb;
  }

  static std::set<PVOID> handlesOf(PURB urb) {
    std::set<PVOID> handles{urb->UrbSelectConfiguration.ConfigurationHandle};
    auto* record = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    auto* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    for (; record < end; record += reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record)->Length) {
      auto* interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
      handles.insert(interface->InterfaceHandle);
      for (ULONG pipe = 0; pipe < interface->NumberOfPipes; pipe++)
        handles.insert(interface->Pipes[pipe].PipeHandle);
    }
    return handles;
  }

  nrv::Machine machine;
};

TEST_F(UsbBus, DevicesAreNamedBySerialNumberOrElseByPort) {
  UsbDevice& first = machine.usb().plugPrinter();
  EXPECT_EQ(first.instancePath(), u"USB\\VID_0A5F&PID_0027\\NRV0001");
  EXPECT_EQ(first.port(), 1u);

  nrv::PrinterConfig anonymous;
  anonymous.usb.vendorId = 0xabc;
  anonymous.usb.productId = 0x1f;
  anonymous.usb.serialNumber.reset();
  EXPECT_EQ(machine.usb().plugPrinter(anonymous).instancePath(), u"USB\\VID_0ABC&PID_001F\\5&2D4F3F4&0&2");
  // A serial number with characters an instance ID cannot hold does not name the device.
  nrv::PrinterConfig comma;
  comma.usb.serialNumber = u"AB,12";
  EXPECT_EQ(machine.usb().plugPrinter(comma).instancePath(), u"USB\\VID_0A5F&PID_0027\\5&2D4F3F4&0&3");

  // A freed port is taken again first.
  machine.usb().unplug(first);
  EXPECT_EQ(machine.usb().devices().size(), 2u);
  UsbDevice& again = machine.usb().plugPrinter(anonymous);
  EXPECT_EQ(again.port(), 1u);
  EXPECT_EQ(again.instancePath(), u"USB\\VID_0ABC&PID_001F\\5&2D4F3F4&0&1");
  EXPECT_EQ(machine.usb().devices().size(), 3u);
}

// The hub reads the serial number through the string descriptor, which holds 126 characters.
TEST_F(UsbBus, HubAndStringDescriptorAgreeOnALongSerialNumber) {
  nrv::PrinterConfig config;
  config.usb.serialNumber = std::u16string(200, u'S');
  UsbDevice& printer = machine.usb().plugPrinter(config);
  std::u16string reported(nrv::kMaxStringDescriptorCharacters, u'S');
  EXPECT_EQ(printer.instancePath(), u"USB\\VID_0A5F&PID_0027\\" + reported);
  Transfer serial = getDescriptor(printer, USB_STRING_DESCRIPTOR_TYPE, nrv::kSerialNumberStringIndex, 0x0409, 255);
  ASSERT_EQ(serial.data.size(), 2 + 2 * reported.size());
  EXPECT_EQ(serial.data[0], serial.data.size());
}

// A bus has 127 device addresses; another host controller has its own, and
// its hub names devices without a serial number apart from the first's.
TEST_F(UsbBus, EachHostControllerHasItsOwnAddressesAndNames) {
  nrv::PrinterConfig anonymous;
  anonymous.usb.serialNumber.reset();
  for (size_t count = 0; count < nrv::UsbBus::kMaxDevices; count++) machine.usb().plugPrinter(anonymous);
  nrv::UsbBus& second = machine.addUsbBus();
  UsbDevice& more = second.plugPrinter(anonymous);
  EXPECT_EQ(second.number(), 2u);
  EXPECT_EQ(more.port(), 1u);
  EXPECT_NE(more.instancePath(), machine.usb().devices().front()->instancePath());
  EXPECT_NE(machine.pnp().find(more.pdo()), nullptr);
}

// Plugged while the machine sleeps, a device is enumerated when it wakes.
TEST_F(UsbBus, ADeviceThatArrivesDuringSleepIsEnumeratedAtWake) {
  ASSERT_EQ(machine.power().setSystemPower(PowerSystemSleeping3, {}).status, STATUS_SUCCESS);
  UsbDevice& printer = machine.usb().plugPrinter();
  EXPECT_TRUE(machine.usb().waitsForWake(printer));
  EXPECT_EQ(machine.pnp().find(printer.pdo()), nullptr);
  machine.power().setSystemPower(PowerSystemWorking, {});
  EXPECT_FALSE(machine.usb().waitsForWake(printer));
  EXPECT_NE(machine.pnp().find(printer.pdo()), nullptr);
}

TEST_F(UsbBus, DeviceAndStringDescriptorsAreReadAsTheDeviceHoldsThem) {
  UsbDevice& printer = machine.usb().plugPrinter();
  Transfer device = getDescriptor(printer, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  ASSERT_EQ(device.status, STATUS_SUCCESS);
  EXPECT_EQ(device.usbd, USBD_STATUS_SUCCESS);
  ASSERT_EQ(device.length, 18u);
  auto* descriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device.data.data());
  EXPECT_EQ(descriptor->idVendor, 0x0A5F);
  EXPECT_EQ(descriptor->idProduct, 0x0027);
  EXPECT_EQ(descriptor->iSerialNumber, nrv::kSerialNumberStringIndex);
  Transfer start = getDescriptor(printer, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8);
  EXPECT_EQ(start.data, Bytes(device.data.begin(), device.data.begin() + 8));

  EXPECT_EQ(getDescriptor(printer, USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255).data, (Bytes{4, 3, 0x09, 0x04}));
  Transfer serial =
      getDescriptor(printer, USB_STRING_DESCRIPTOR_TYPE, nrv::kSerialNumberStringIndex, 0x0409, 255);
  EXPECT_EQ(serial.data, (Bytes{16, 3, 'N', 0, 'R', 0, 'V', 0, '0', 0, '0', 0, '0', 0, '1', 0}));
  // The device stalls for a string it lacks and for a language it does not speak.
  for (Transfer missing : {getDescriptor(printer, USB_STRING_DESCRIPTOR_TYPE, 7, 0x0409, 255),
                           getDescriptor(printer, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0407, 255)}) {
    EXPECT_EQ(missing.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(missing.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(missing.length, 0u);
  }
  nrv::PrinterConfig noSerial;
  noSerial.usb.serialNumber.reset();
  UsbDevice& plain = machine.usb().plugPrinter(noSerial);
  EXPECT_EQ(getDescriptor(plain, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18).data[16], 0);  // iSerialNumber
  EXPECT_EQ(getDescriptor(plain, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255).usbd, USBD_STATUS_STALL_PID);

  std::vector<nrv::UsbRequestRecord> log = printer.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[3].requestType, 0x80);
  EXPECT_EQ(log[3].request, nrv::kUsbGetDescriptor);
  EXPECT_EQ(log[3].urbFunction, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(log[3].value, USB_STRING_DESCRIPTOR_TYPE << 8 | nrv::kSerialNumberStringIndex);
  EXPECT_EQ(log[3].index, 0x0409);
  EXPECT_EQ(log[3].length, 255);
  EXPECT_EQ(log[3].bytesReturned, 16u);
  EXPECT_EQ(log[4].status, USBD_STATUS_STALL_PID);
}

// A configuration longer than the first read still reports its whole length,
// and a second read of exactly that length gets all of it.
TEST_F(UsbBus, LongConfigurationIsReadShortThenWhole) {
  nrv::UsbInterfaceDescription vendor;
  vendor.interfaceClass = 0xFF;
  vendor.classDescriptors = {nrv::makeDescriptor(0x41, 250), nrv::makeDescriptor(0x41, 250)};
  vendor.endpoints = {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}};
  nrv::PrinterConfig config;
  config.usb.interfaces = {vendor, nrv::printerInterface(1, 0, 2, 0x02, 0x83)};
  UsbDevice& printer = machine.usb().plugPrinter(config);

  Transfer head = getDescriptor(printer, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 521);
  ASSERT_EQ(head.status, STATUS_SUCCESS);
  EXPECT_EQ(head.length, 521u);
  ULONG total = head.data[2] | head.data[3] << 8;
  EXPECT_EQ(total, 9u + (9 + 250 + 250 + 7) + (9 + 7 + 7));

  Transfer whole = getDescriptor(printer, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total);
  ASSERT_EQ(whole.length, total);
  EXPECT_EQ(Bytes(whole.data.begin(), whole.data.begin() + 521), head.data);
  auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole.data.data());
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, 7, 1, 2);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(reinterpret_cast<UCHAR*>(found) - whole.data.data(), 9 + 9 + 250 + 250 + 7);

  // A larger buffer gets only what there is.
  EXPECT_EQ(getDescriptor(printer, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total + 100).length, total);
  std::vector<nrv::UsbRequestRecord> log = printer.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].length, 521);
  EXPECT_EQ(log[1].length, total);
}

TEST_F(UsbBus, SelectConfigurationFillsEveryPipeWithItsOwnHandle) {
  nrv::PrinterConfig config;
  nrv::UsbInterfaceDescription alternate = nrv::printerInterface(1, 1, 2, 0x04, 0x85);
  alternate.endpoints.push_back({0x86, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4});
  config.usb.interfaces = {nrv::printerInterface(0, 0, 1, 0x01), nrv::printerInterface(1, 0, 2, 0x02, 0x83),
                           alternate};
  UsbDevice& printer = machine.usb().plugPrinter(config);
  Bytes bytes = configuration(printer);

  PURB urb = selectRequest(bytes, {{0, 0}, {1, 0}});
  ASSERT_NE(urb, nullptr);
  auto* first = &urb->UrbSelectConfiguration.Interface;
  auto* second =
      reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(first) + first->Length);
  // What the driver chose for its pipes is its own.
  second->Pipes[0].MaximumTransferSize = 0x10000;
  second->Pipes[1].PipeFlags = 7;
  ASSERT_EQ(submit(printer, urb), STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);

  EXPECT_EQ(first->Protocol, 1);
  EXPECT_EQ(first->Pipes[0].EndpointAddress, 0x01);
  EXPECT_EQ((std::vector<int>{second->Class, second->SubClass, second->Protocol}),
            (std::vector<int>{7, 1, 2}));
  ASSERT_EQ(second->NumberOfPipes, 2u);
  EXPECT_EQ(second->Pipes[1].EndpointAddress, 0x83);
  EXPECT_EQ(second->Pipes[1].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(second->Pipes[1].MaximumPacketSize, 64);
  EXPECT_EQ(second->Pipes[0].MaximumTransferSize, 0x10000u);
  EXPECT_EQ(second->Pipes[1].PipeFlags, 7u);
  std::set<PVOID> handles = handlesOf(urb);
  EXPECT_EQ(handles.size(), 6u);  // configuration, two interfaces, three pipes
  EXPECT_EQ(handles.count(nullptr), 0u);
  EXPECT_EQ(printer.pipes().size(), 3u);
  nrv::UsbRequestRecord set = printer.log().back();
  EXPECT_EQ(set.request, nrv::kUsbSetConfiguration);
  EXPECT_EQ(set.value, 1);
  ExFreePool(urb);

  // The alternate setting, with a header length of 0 as drivers in the field send it.
  urb = selectRequest(bytes, {{1, 1}});
  ASSERT_NE(urb, nullptr);
  urb->UrbHeader.Length = 0;
  ASSERT_EQ(submit(printer, urb), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
  ASSERT_EQ(interface->NumberOfPipes, 3u);
  EXPECT_EQ(interface->Pipes[2].PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(interface->Pipes[2].Interval, 4);
  std::vector<PVOID> fresh{urb->UrbSelectConfiguration.ConfigurationHandle, interface->InterfaceHandle,
                           interface->Pipes[0].PipeHandle, interface->Pipes[1].PipeHandle,
                           interface->Pipes[2].PipeHandle};
  for (PVOID handle : fresh) EXPECT_EQ(handles.count(handle), 0u) << "a handle was handed out twice";
  std::vector<nrv::UsbRequestRecord> log = printer.log();
  EXPECT_EQ(log[log.size() - 2].request, nrv::kUsbSetConfiguration);
  EXPECT_EQ(log.back().request, nrv::kUsbSetInterface);
  EXPECT_EQ(log.back().index, 1);
  EXPECT_EQ(printer.model().alternateSetting(1), 1);
  ExFreePool(urb);

  // Without a descriptor the device goes back to its unconfigured state.
  URB unconfigure{};
  unconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  ASSERT_EQ(submit(printer, &unconfigure), STATUS_SUCCESS);
  EXPECT_FALSE(printer.configured());
  EXPECT_TRUE(printer.pipes().empty());
  EXPECT_EQ(printer.model().configuration(), 0);
}

TEST_F(UsbBus, SelectConfigurationRefusesRecordsTheDescriptorDoesNotHold) {
  UsbDevice& printer = machine.usb().plugPrinter();
  Bytes bytes = configuration(printer);
  PURB urb = selectRequest(bytes, {{0, 0}});
  ASSERT_NE(urb, nullptr);
  PUSBD_INTERFACE_INFORMATION interface = &urb->UrbSelectConfiguration.Interface;
  size_t seen = printer.log().size();

  interface->InterfaceNumber = 5;
  EXPECT_EQ(submit(printer, urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  interface->InterfaceNumber = 0;
  interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));  // no room for the second pipe
  EXPECT_EQ(submit(printer, urb), STATUS_INVALID_PARAMETER);
  interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
  bytes[1] = USB_INTERFACE_DESCRIPTOR_TYPE;
  EXPECT_EQ(submit(printer, urb), STATUS_INVALID_PARAMETER);
  bytes[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  // None of these reached the device.
  EXPECT_EQ(printer.log().size(), seen);

  // A configuration value the device does not have: the device stalls SET_CONFIGURATION.
  bytes[5] = 2;
  EXPECT_EQ(submit(printer, urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(interface->Pipes[0].PipeHandle, nullptr);
  EXPECT_FALSE(printer.configured());
  ExFreePool(urb);
}

TEST_F(UsbBus, PrinterClassAndVendorRequestsReachThePrinter) {
  UsbDevice& device = machine.usb().plugPrinter();
  nrv::SimulatedPrinter& printer = device.printer();

  Transfer id = deviceIdRequest(device, 1024);
  ASSERT_EQ(id.status, STATUS_SUCCESS);
  Bytes expected =
      nrv::ieee1284DeviceId("MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;");
  EXPECT_EQ(id.data, expected);
  EXPECT_EQ(id.data[0] << 8 | id.data[1], static_cast<int>(expected.size()));
  // The reply is sent as configured, a wrong length prefix included, and cut to the buffer.
  printer.setDeviceId({0xFF, 0xFF, 'M', 'F', 'G'});
  EXPECT_EQ(deviceIdRequest(device, 1024).data, (Bytes{0xFF, 0xFF, 'M', 'F', 'G'}));
  EXPECT_EQ(deviceIdRequest(device, 3).data, (Bytes{0xFF, 0xFF, 'M'}));

  auto portStatus = [&] {
    return classOrVendor(device, URB_FUNCTION_CLASS_INTERFACE,
                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0xA1,
                         nrv::kPrinterGetPortStatus, 0, 0, Bytes(1));
  };
  EXPECT_EQ(portStatus().data, Bytes{0x18});
  printer.setPortStatus(0x38);
  EXPECT_EQ(portStatus().data, Bytes{0x38});

  // SOFT_RESET is taken whether addressed to the interface or to "other".
  for (UCHAR bits : {0x23, 0x21}) {
    EXPECT_EQ(
        classOrVendor(device, URB_FUNCTION_CLASS_OTHER, 0, bits, nrv::kPrinterSoftReset, 0, 0, {}).status,
        STATUS_SUCCESS);
  }
  EXPECT_EQ(
      classOrVendor(device, URB_FUNCTION_CLASS_INTERFACE, 0, 0x21, nrv::kPrinterSoftReset, 0, 0, {}).status,
      STATUS_SUCCESS);
  EXPECT_EQ(printer.softResets(), 3u);
  EXPECT_EQ(classOrVendor(device, URB_FUNCTION_VENDOR_DEVICE, 0, 0x40, 4, 0x0803, 0, {}).status,
            STATUS_SUCCESS);
  EXPECT_EQ(classOrVendor(device, URB_FUNCTION_VENDOR_INTERFACE, 0, 0x41, 9, 1, 2, {1, 2, 3}).length, 3u);
  // A class request the printer does not know stalls.
  Transfer unknown = classOrVendor(device, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN, 0xA1, 9,
                                   0, 0, Bytes(4));
  EXPECT_EQ(unknown.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(unknown.usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(unknown.length, 0u);

  std::vector<nrv::UsbRequestRecord> log = device.log();
  ASSERT_EQ(log.size(), 11u);
  EXPECT_EQ(log[0].requestType, 0xA1);
  EXPECT_EQ(log[0].length, 1024);
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_CLASS_INTERFACE);
  EXPECT_EQ(log[0].transferFlags, 3u);
  EXPECT_EQ(log[0].bytesReturned, expected.size());
  // The bits the driver put in the URB are kept apart from the request type the bus sent.
  EXPECT_EQ((std::vector<int>{log[5].requestType, log[6].requestType, log[7].requestType}),
            (std::vector<int>{0x23, 0x23, 0x21}));
  EXPECT_EQ((std::vector<int>{log[5].requestTypeBits, log[6].requestTypeBits}),
            (std::vector<int>{0x23, 0x21}));
  EXPECT_EQ(log[8].requestType, 0x40);
  EXPECT_EQ(log[8].value, 0x0803);
  EXPECT_EQ(log[9].requestType, 0x41);
  EXPECT_EQ(log[9].outData, (Bytes{1, 2, 3}));
}

TEST_F(UsbBus, PortStatusAndPortReset) {
  UsbDevice& printer = machine.usb().plugPrinter();
  Bytes bytes = configuration(printer);
  PURB urb = selectRequest(bytes, {{0, 0}});
  ASSERT_NE(urb, nullptr);
  ASSERT_EQ(submit(printer, urb), STATUS_SUCCESS);
  std::set<PVOID> handles = handlesOf(urb);
  ExFreePool(urb);

  ULONG status = 0;
  ASSERT_EQ(internal(printer, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status).status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status, static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

  // A disabled port still shows the device but passes no traffic.
  printer.disablePort();
  ASSERT_EQ(internal(printer, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status).status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status, static_cast<ULONG>(USBD_PORT_CONNECTED));
  Transfer refused = getDescriptor(printer, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  EXPECT_EQ(refused.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused.usbd, USBD_STATUS_DEV_NOT_RESPONDING);

  // A reset enables the port and restores the configuration behind the driver's handles.
  size_t seen = printer.log().size();
  EXPECT_EQ(internal(printer, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status.Status, STATUS_SUCCESS);
  EXPECT_EQ(printer.portResets(), 1u);
  EXPECT_EQ(printer.portStatus(), static_cast<ULONG>(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
  EXPECT_EQ(printer.model().configuration(), 1);
  EXPECT_EQ(handles.count(printer.configurationHandle()), 1u);
  for (const nrv::UsbPipe& pipe : printer.pipes()) EXPECT_EQ(handles.count(pipe.handle), 1u);
  std::vector<nrv::UsbRequestRecord> log = printer.log();
  ASSERT_EQ(log.size(), seen + 1);
  EXPECT_EQ(log.back().request, nrv::kUsbSetConfiguration);
  EXPECT_EQ(log.back().urbFunction, nrv::kUsbBusOwnRequest);
}

// Each refusal completes the request once with a status a driver can act on.
TEST_F(UsbBus, RefusesWhatItDoesNotServe) {
  UsbDevice& printer = machine.usb().plugPrinter();
  EXPECT_EQ(submit(printer, nullptr), STATUS_INVALID_PARAMETER);

  URB urb{};
  urb.UrbHeader.Length = sizeof(URB);
  urb.UrbHeader.Function = 0x0099;
  EXPECT_EQ(submit(printer, &urb), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
  // Pipe requests on a handle the bus never gave out.
  for (USHORT function :
       {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_RESET_PIPE, URB_FUNCTION_ABORT_PIPE}) {
    urb.UrbHeader.Function = function;
    EXPECT_EQ(submit(printer, &urb), STATUS_INVALID_PARAMETER) << function;
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE) << function;
  }

  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 1,
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof(buffer), nullptr);
  EXPECT_EQ(submit(printer, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, nullptr, sizeof(buffer), nullptr);
  EXPECT_EQ(submit(printer, &urb), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(printer.log().empty());

  EXPECT_EQ(internal(printer, IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr).status.Status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(internal(printer, CTL_CODE(FILE_DEVICE_USB, 99, METHOD_NEITHER, FILE_ANY_ACCESS), nullptr)
                .status.Status,
            STATUS_INVALID_DEVICE_REQUEST);
  // Plug and Play requests the bus does not serve keep the status they came with.
  EXPECT_EQ(machine.io().call(printer.pdo(), IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).status.Status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(machine.io().call(printer.pdo(), IRP_MJ_CREATE, 0).status.Status, STATUS_SUCCESS);
  EXPECT_EQ(printer.physical().requests().size(), 11u);
}

NTSTATUS upperDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

using UsbBusDeathTest = platform_test::DeathTest;

TEST_F(UsbBusDeathTest, UnplugWithADeviceAttachedStops) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        UsbDevice& printer = machine.usb().plugPrinter();
        nrv::LoadedDriver* driver = machine.modules().startDriver(upperDriverEntry, "UPPER").driver;
        PDEVICE_OBJECT upper = nullptr;
        IoCreateDevice(&driver->object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
        IoAttachDeviceToDeviceStack(upper, printer.pdo());
        machine.usb().unplug(printer);
      },
      "STOP: USB_DEVICE_IN_USE.*port 1 \\(USB\\\\VID_0A5F&PID_0027\\\\NRV0001\\) was unplugged while device");
}

TEST_F(UsbBusDeathTest, A128thDeviceOnOneBusStops) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::PrinterConfig anonymous;
        anonymous.usb.serialNumber.reset();
        for (size_t count = 0; count <= nrv::UsbBus::kMaxDevices; count++) machine.usb().plugPrinter(anonymous);
      },
      "STOP: USB_BUS_FULL.*bus 1 already has 127 devices.*another host controller");
}

TEST_F(UsbBusDeathTest, TwoDevicesWithOneInstancePathStop) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::PhysicalDevice& first = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0027\\SAME");
        nrv::PhysicalDevice& second = machine.plugPhysicalDevice(u"USB\\VID_0A5F&PID_0027\\same");
        machine.pnp().deviceArrived(first.object(), first.instancePath(), nullptr);
        machine.pnp().deviceArrived(second.object(), second.instancePath(), nullptr);
      },
      "STOP: PNP_DETECTED_FATAL_ERROR.*instance path USB.VID_0A5F&PID_0027.same, which device .* already has");
}

// Only one of two faults for a transfer could happen: a script that asks for both is wrong.
TEST_F(UsbBusDeathTest, TwoFaultsForOneTransferStop) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::UsbDeviceModel& printer = machine.usb().plugPrinter().model();
        printer.stallBulkTransfer(0x01, 2);
        printer.holdBulkTransfer(0x82, 2);
        printer.failBulkTransfer(0x01, 2, USBD_STATUS_STALL_PID);
      },
      "STOP: BULK_FAULT_SCHEDULED_TWICE.*bulk transfer 2 of endpoint 0x01 has a fault already");
}

}  // namespace
