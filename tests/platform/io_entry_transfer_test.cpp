// Read, write and device control through the I/O entry, as the I/O manager
// builds them: direct I/O with an MDL over the caller's buffer, and one system
// buffer for buffered control codes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/text.h"
#include "death_test.h"
#include "test_stack.h"

namespace {

const GUID kTestInterface = {0x2b8e61d4, 0x90a3, 0x4c5f, {0x8e, 0x17, 0x5d, 0x0b, 0xa2, 0x64, 0xc9, 0x3f}};
constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A device with direct I/O, opened through its interface.
struct TransferBench {
  TransferBench() {
    stack.top()->Flags |= DO_DIRECT_IO;
    stack.layer(0).dispatch = [this](PDEVICE_OBJECT, PIRP irp) { return handle(irp); };
    EXPECT_EQ(IoRegisterDeviceInterface(stack.physical().object(), &kTestInterface, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(machine.io().open(nrv::fromUnicodeString(link), u"", &file), STATUS_SUCCESS);
  }
  ~TransferBench() {
    machine.io().close(file);
    RtlFreeUnicodeString(&link);
  }

  // Reads fill the MDL's range with 0x5A; writes are copied out; the control
  // code answers with the input reversed, Information set by the test.
  NTSTATUS handle(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_CREATE || location->MajorFunction == IRP_MJ_CLEANUP ||
        location->MajorFunction == IRP_MJ_CLOSE) {
      return platform_test::completeRequest(irp, STATUS_SUCCESS);
    }
    EXPECT_EQ(location->FileObject, file);
    mdl = irp->MdlAddress;
    switch (location->MajorFunction) {
      case IRP_MJ_READ:
        length = location->Parameters.Read.Length;
        if (mdl != nullptr) memset(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), 0x5A, MmGetMdlByteCount(mdl));
        break;
      case IRP_MJ_WRITE: {
        length = location->Parameters.Write.Length;
        written.clear();
        if (mdl != nullptr) {
          auto* bytes = static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl));
          written.assign(bytes, bytes + MmGetMdlByteCount(mdl));
        }
        break;
      }
      default: {
        auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
        std::vector<UCHAR> input(system, system + in);
        for (ULONG index = 0; index < in; index++) system[index] = input[in - 1 - index];
        return platform_test::completeRequest(irp, STATUS_SUCCESS, information);
      }
    }
    return platform_test::completeRequest(irp, STATUS_SUCCESS, length);
  }

  nrv::Machine machine;
  platform_test::TestStack stack{machine, 1};
  UNICODE_STRING link{};
  PFILE_OBJECT file = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
  std::vector<UCHAR> written;
  ULONG_PTR information = 0;
};

class IoEntryTransfer : public ::testing::Test, public TransferBench {};

TEST_F(IoEntryTransfer, ReadsAndWritesCarryAnMdlOverTheCallersBuffer) {
  std::vector<UCHAR> buffer(5000, 0);
  nrv::IrpOutcome read = machine.io().read(file, buffer.data() + 3, 4000);
  EXPECT_EQ(read.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(read.status.Information, 4000u);
  EXPECT_EQ(length, 4000u);
  EXPECT_EQ(buffer[2], 0);
  EXPECT_EQ(buffer[3], 0x5A);
  EXPECT_EQ(buffer[4002], 0x5A);
  EXPECT_EQ(buffer[4003], 0);

  std::vector<UCHAR> data{1, 2, 3, 4, 5};
  EXPECT_EQ(machine.io().write(file, data.data(), 5).status.Information, 5u);
  EXPECT_EQ(written, data);

  // Nothing to describe: no MDL.
  machine.io().write(file, data.data(), 0);
  EXPECT_EQ(mdl, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST_F(IoEntryTransfer, BufferedControlCopiesInputInAndInformationBytesBack) {
  const UCHAR input[4] = {1, 2, 3, 4};
  UCHAR output[8];
  memset(output, 0xEE, sizeof(output));
  information = 3;
  nrv::IrpOutcome outcome = machine.io().deviceControl(file, kBufferedCode, input, 4, output, 8);
  EXPECT_EQ(outcome.status.Status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.status.Information, 3u);
  EXPECT_EQ(output[0], 4);
  EXPECT_EQ(output[2], 2);
  EXPECT_EQ(output[3], 0xEE);
}

// The copy counter sees every copy buffered I/O makes, by kind, and none
// where the caller's buffer travels in an MDL.
TEST_F(IoEntryTransfer, CopiesAreCountedOnlyWhereBufferedIoMakesThem) {
  nrv::CopyCounter& copies = machine.irps().copies();
  std::vector<UCHAR> data(3000, 0x11);
  machine.io().write(file, data.data(), 3000);
  machine.io().read(file, data.data(), 3000);
  EXPECT_EQ(copies.totalBytes(), 0u) << "direct I/O hands the caller's buffer over";

  const UCHAR input[4] = {1, 2, 3, 4};
  UCHAR output[8];
  information = 3;
  machine.io().deviceControl(file, kBufferedCode, input, 4, output, 8);
  EXPECT_EQ(copies.bytes(nrv::CopyKind::ControlInput), 4u);
  EXPECT_EQ(copies.bytes(nrv::CopyKind::ControlOutput), 3u);

  stack.top()->Flags = (stack.top()->Flags & ~DO_DIRECT_IO) | DO_BUFFERED_IO;
  machine.io().write(file, data.data(), 3000);
  machine.io().write(file, data.data(), 0);
  EXPECT_EQ(copies.bytes(nrv::CopyKind::WriteIn), 3000u);
  EXPECT_EQ(copies.copies(nrv::CopyKind::WriteIn), 1u) << "a write of no bytes copies nothing";
  machine.io().read(file, data.data(), 1000);
  EXPECT_EQ(copies.bytes(nrv::CopyKind::ReadOut), 1000u);
  EXPECT_EQ(copies.totalBytes(), 3000u + 1000u + 4u + 3u);

  copies.reset();
  EXPECT_EQ(copies.totalBytes(), 0u);
  EXPECT_EQ(copies.copies(nrv::CopyKind::ControlInput), 0u);
}

using IoEntryTransferDeathTest = platform_test::DeathTest;

TEST_F(IoEntryTransferDeathTest, InformationBeyondTheOutputBufferStopsTheMachine) {
  EXPECT_DEATH(
      {
        TransferBench test;
        test.information = 9;
        UCHAR output[8];
        test.machine.io().deviceControl(test.file, kBufferedCode, nullptr, 0, output, 8);
      },
      "STOP: IO_BUFFER_OVERRUN.*Information 9, more than the 8-byte output buffer");
}

}  // namespace
