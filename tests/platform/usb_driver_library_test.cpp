// The USB driver interface library: interface search in configuration
// descriptors (broken ones included), select-configuration requests built for
// chosen interfaces, and the stack's version.
#include <gtest/gtest.h>
#include <usbdlib.h>

#include <vector>

#include "machine/machine.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls, UCHAR subClass, UCHAR protocol) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subClass, protocol, 0};
}

// A configuration of the given descriptors; wTotalLength covers them all unless told otherwise.
// The buffer ends where the bytes end, so that the address sanitizer catches a read past it.
Bytes configuration(std::vector<Bytes> descriptors, int totalLength = -1) {
  Bytes bytes{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0xC0, 1};
  for (const Bytes& descriptor : descriptors) bytes.insert(bytes.end(), descriptor.begin(), descriptor.end());
  size_t total = totalLength < 0 ? bytes.size() : static_cast<size_t>(totalLength);
  bytes[2] = static_cast<UCHAR>(total & 0xFF);
  bytes[3] = static_cast<UCHAR>(total >> 8);
  return bytes;
}

PUSB_CONFIGURATION_DESCRIPTOR asConfiguration(Bytes& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// The offset of the interface found, or -1.
long find(Bytes& bytes, LONG number, LONG alternate, LONG cls, LONG subClass, LONG protocol,
          size_t start = 0) {
  PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
      asConfiguration(bytes), bytes.data() + start, number, alternate, cls, subClass, protocol);
  return found == nullptr ? -1 : reinterpret_cast<UCHAR*>(found) - bytes.data();
}

class UsbDriverLibrary : public ::testing::Test {
 protected:
  nrv::Machine machine;
};

TEST_F(UsbDriverLibrary, ParseFindsTheFirstInterfaceMatchingEveryGivenCriterion) {
  Bytes bytes = configuration({interface(0, 0, 1, 7, 1, 1),
                               {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, 2, 64, 0, 0},
                               {5, 0x24, 1, 2, 3},  // class-specific
                               interface(1, 0, 0, 7, 1, 2),
                               interface(1, 1, 0, 7, 1, 2),
                               interface(2, 0, 0, 0xFF, 0, 0)});
  const long unidirectional = 9, bidirectional = 30, alternate = 39, vendor = 48;

  // Protocol 2 is found wherever it sits; -1 leaves a field out of the search.
  EXPECT_EQ(find(bytes, -1, -1, 7, 1, 2), bidirectional);
  EXPECT_EQ(find(bytes, -1, -1, 7, 1, 1), unidirectional);
  EXPECT_EQ(find(bytes, -1, -1, -1, -1, -1), unidirectional);
  EXPECT_EQ(find(bytes, 1, 1, -1, -1, -1), alternate);
  EXPECT_EQ(find(bytes, -1, -1, 0xFF, -1, -1), vendor);
  EXPECT_EQ(find(bytes, -1, -1, 7, 1, 3), -1);
  EXPECT_EQ(find(bytes, 3, -1, -1, -1, -1), -1);
  // A search resumes at any descriptor boundary; a start outside the configuration finds nothing.
  EXPECT_EQ(find(bytes, -1, -1, 7, 1, 2, bidirectional + 9), alternate);
  EXPECT_EQ(find(bytes, -1, -1, -1, -1, -1, vendor), vendor);
  EXPECT_EQ(find(bytes, -1, -1, -1, -1, -1, bytes.size()), -1);
}

// The search stops at the first descriptor that cannot be right, and never
// looks beyond wTotalLength.
TEST_F(UsbDriverLibrary, ParseStopsAtBrokenDescriptorsAndAtTheTotalLength) {
  Bytes printer = interface(0, 0, 0, 7, 1, 2);
  std::vector<Bytes> broken{
      configuration({{0, 0x24, 0, 0}, printer}),  // zero bLength
      configuration({{1, 0x24}, printer}),        // too short to hold its type
      configuration({{200, 0x24, 0}, printer}),   // runs past the end
      configuration(
          {{4, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0}, printer}),          // interface too short for its fields
      configuration({printer}, 8),                                       // total shorter than the header
      configuration({interface(1, 0, 0, 7, 1, 1), printer}, 9 + 9 + 5),  // printer lies past wTotalLength
  };
  for (size_t index = 0; index < broken.size(); index++) {
    EXPECT_EQ(find(broken[index], -1, -1, 7, 1, 2), -1) << index;
  }
  EXPECT_EQ(find(broken.back(), -1, -1, 7, 1, 1), 9);
}

TEST_F(UsbDriverLibrary, CreateConfigurationRequestHoldsARecordPerListedInterface) {
  Bytes bytes = configuration(
      {interface(0, 0, 3, 0xFF, 0, 0), interface(1, 2, 2, 7, 1, 2), interface(2, 0, 0, 0xFF, 0, 0)});
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor =
      reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(&bytes[find(bytes, 1, 2, -1, -1, -1)]);
  list[1].InterfaceDescriptor =
      reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(&bytes[find(bytes, 2, 0, -1, -1, -1)]);
  size_t blocks = machine.pool().liveCount();

  PURB urb = USBD_CreateConfigurationRequestEx(asConfiguration(bytes), list);
  ASSERT_NE(urb, nullptr);
  size_t header = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t first = GET_USBD_INTERFACE_SIZE(2), second = GET_USBD_INTERFACE_SIZE(0);
  EXPECT_EQ(urb->UrbHeader.Length, header + first + second);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, asConfiguration(bytes));

  auto* base = reinterpret_cast<UCHAR*>(urb);
  ASSERT_EQ(reinterpret_cast<UCHAR*>(list[0].Interface), base + header);
  ASSERT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), base + header + first);
  EXPECT_EQ(list[2].Interface, nullptr);
  PUSBD_INTERFACE_INFORMATION printer = list[0].Interface;
  EXPECT_EQ(printer->Length, first);
  EXPECT_EQ(printer->InterfaceNumber, 1);
  EXPECT_EQ(printer->AlternateSetting, 2);
  EXPECT_EQ(printer->NumberOfPipes, 2u);
  for (ULONG pipe = 0; pipe < 2; pipe++) {
    EXPECT_EQ(printer->Pipes[pipe].MaximumTransferSize,
              static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
    EXPECT_EQ(printer->Pipes[pipe].PipeHandle, nullptr);
  }
  EXPECT_EQ(list[1].Interface->Length, second);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);

  // Drivers give it back with ExFreePool; the allocation counts as theirs to fail.
  ExFreePool(urb);
  EXPECT_EQ(machine.pool().liveCount(), blocks);
  machine.faults().failTag(0x44425355);  // "USBD"
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(asConfiguration(bytes), list), nullptr);
  machine.faults().clear();
  machine.faults().failNth(nrv::FaultKind::Pool, machine.faults().requests(nrv::FaultKind::Pool) + 1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(asConfiguration(bytes), list), nullptr);
}

TEST(UsbDriverLibraryVersion, FollowsTheOperatingSystem) {
  USBD_VERSION_INFORMATION version{};
  {
    nrv::Machine machine;
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x300u);
    EXPECT_EQ(version.Supported_USB_Version, 0x110u);
  }
  nrv::Machine machine({nrv::OsProfile::Windows98});
  USBD_GetUSBDIVersion(&version);
  EXPECT_EQ(version.USBDI_Version, 0x200u);
}

}  // namespace
