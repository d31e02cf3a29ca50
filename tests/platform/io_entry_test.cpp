// Device interfaces and the I/O entry: opening a device by link name and
// closing it send the requests the I/O manager sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "test_stack.h"

namespace {

const GUID kTestInterface = {0x6f1c0a52, 0x3d7e, 0x4b19, {0x9a, 0x41, 0x0c, 0x5e, 0x72, 0xd8, 0x13, 0xb6}};

std::u16string upper(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  return text;
}

class InterfaceOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    stack.layer(0).dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
      seen.push_back(location->MajorFunction);
      if (location->MajorFunction == IRP_MJ_CREATE) {
        createFile = location->FileObject;
        createName = nrv::fromUnicodeString(location->FileObject->FileName);
        if (!NT_SUCCESS(createStatus)) return platform_test::completeRequest(irp, createStatus);
      }
      return platform_test::passDown(stack.layer(0), irp);
    };
    ASSERT_EQ(IoRegisterDeviceInterface(stack.physical().object(), &kTestInterface, nullptr, &link),
              STATUS_SUCCESS);
    linkName = nrv::fromUnicodeString(link);
  }
  void TearDown() override { RtlFreeUnicodeString(&link); }

  nrv::Machine machine;
  platform_test::TestStack stack{machine, 1};
  UNICODE_STRING link{};
  std::u16string linkName;
  std::vector<UCHAR> seen;
  PFILE_OBJECT createFile = nullptr;
  std::u16string createName;
  NTSTATUS createStatus = STATUS_SUCCESS;
};

TEST_F(InterfaceOpen, OpenThroughEnabledInterfaceAndClose) {
  EXPECT_EQ(linkName, u"\\??\\USB#VID_0A5F&PID_0001#5&1#{6f1c0a52-3d7e-4b19-9a41-0c5e72d813b6}");
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);

  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(machine.io().open(upper(linkName), u"\\0", &file), STATUS_SUCCESS);
  EXPECT_EQ(createFile, file);
  EXPECT_EQ(createName, u"\\0");
  EXPECT_EQ(file->DeviceObject, stack.physical().object());
  EXPECT_EQ(machine.io().openFiles(), 1u);

  machine.io().close(file);
  EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(stack.physical().requests().size(), 3u);
  EXPECT_EQ(machine.io().openFiles(), 0u);
}

TEST_F(InterfaceOpen, OnlyEnabledKnownLinksOpen) {
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(machine.io().open(linkName, u"", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(
      machine.io().open(u"\\??\\USB#VID_0000&PID_0000#1#{00000000-0000-0000-0000-000000000000}", u"", &file),
      STATUS_OBJECT_NAME_NOT_FOUND);

  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(machine.io().open(linkName, u"", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(file, nullptr);
  EXPECT_TRUE(seen.empty());
}

// A refused create leaves no open file behind and is never followed by close.
TEST_F(InterfaceOpen, RefusedCreateOpensNothing) {
  ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  createStatus = STATUS_ACCESS_DENIED;
  PFILE_OBJECT file = nullptr;
  EXPECT_EQ(machine.io().open(linkName, u"", &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(machine.io().openFiles(), 0u);
  EXPECT_EQ(seen, std::vector<UCHAR>{IRP_MJ_CREATE});
}

}  // namespace
