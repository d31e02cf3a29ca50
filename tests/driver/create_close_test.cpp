// Opening the printer FDO, with and without a pipe named by the file name.
#include "printer_fdo.h"

namespace {

class CreateCloseTest : public PrinterFdoTest {
 protected:
  PUSBD_PIPE_INFORMATION pipe(ULONG index) { return &extension->InterfaceInfo->Pipes[index]; }

  // Opens and checks that the request count is back where it was.
  NTSTATUS openCounted(const std::u16string& name, PFILE_OBJECT* file = nullptr) {
    LONG before = extension->IoCount;
    NTSTATUS status = open(name, file);
    EXPECT_EQ(extension->IoCount, before) << "after opening '" << nrv::toUtf8(name) << "'";
    return status;
  }
};

TEST_F(CreateCloseTest, AnEmptyNameOpensWithoutBindingAPipe) {
  PFILE_OBJECT file;
  ASSERT_EQ(openCounted(u"", &file), STATUS_SUCCESS);
  EXPECT_EQ(file->FsContext, nullptr);
  EXPECT_EQ(extension->OpenCount, 1);
  close(file);
  EXPECT_EQ(extension->OpenCount, 0);
  for (ULONG index = 0; index < extension->InterfaceInfo->NumberOfPipes; index++) {
    EXPECT_EQ(pipe(index)->PipeFlags, 0u);
  }
}

TEST_F(CreateCloseTest, APipeServesOneOpenAtATime) {
  PFILE_OBJECT first;
  ASSERT_EQ(openCounted(u"\\1", &first), STATUS_SUCCESS);
  EXPECT_EQ(first->FsContext, pipe(1));
  EXPECT_EQ(pipe(1)->PipeFlags, 1u);

  EXPECT_EQ(openCounted(u"\\1"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(extension->OpenCount, 1);

  close(first);
  EXPECT_EQ(pipe(1)->PipeFlags, 0u);
  EXPECT_EQ(openCounted(u"\\1"), STATUS_SUCCESS);
}

TEST_F(CreateCloseTest, TheNumberIsTheRightmostRunOfDigitsNeverTheFirstCharacter) {
  struct Case {
    std::u16string name;
    NTSTATUS status;
    LONG pipe;  // -1: none bound
  };
  const Case cases[] = {
      {u"1", STATUS_INVALID_PARAMETER, -1},       // the only digit is the first character
      {u"12", STATUS_SUCCESS, 2},                 // the first character never counts
      {u"\\pipe", STATUS_INVALID_PARAMETER, -1},  // no digit at all
      {u"\\0", STATUS_SUCCESS, 0},
      {u"\\pipe2.x", STATUS_SUCCESS, 2},          // trailing non-digits are skipped
      {u"\\7\\1", STATUS_SUCCESS, 1},             // only the rightmost run counts
      {u"\\0001", STATUS_SUCCESS, 1},
      {u"\\3", STATUS_INSUFFICIENT_RESOURCES, -1},  // three pipes: 0, 1, 2
  };
  for (const Case& c : cases) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = openCounted(c.name, &file);
    EXPECT_EQ(status, c.status) << nrv::toUtf8(c.name);
    if (c.pipe >= 0 && file != nullptr) {
      EXPECT_EQ(file->FsContext, pipe(static_cast<ULONG>(c.pipe))) << nrv::toUtf8(c.name);
      close(file);
    }
  }
  EXPECT_EQ(extension->OpenCount, 0);
}

TEST_F(CreateCloseTest, TwoDigitsNameOnePipe) {
  EXPECT_EQ(openCounted(u"\\12"), STATUS_INSUFFICIENT_RESOURCES);
  selectInterface(13);
  PFILE_OBJECT file;
  ASSERT_EQ(openCounted(u"\\12", &file), STATUS_SUCCESS);
  EXPECT_EQ(file->FsContext, pipe(12));
  EXPECT_EQ(pipe(1)->PipeFlags, 0u);
  EXPECT_EQ(pipe(2)->PipeFlags, 0u);
}

// Numbers too large for any pipe must not wrap round to a small one.
TEST_F(CreateCloseTest, ALongRunOfDigitsNamesNoPipe) {
  EXPECT_EQ(openCounted(u"\\4294967296"), STATUS_INSUFFICIENT_RESOURCES);  // 2^32, 0 if it wrapped
  EXPECT_EQ(openCounted(u"\\4294967297"), STATUS_INSUFFICIENT_RESOURCES);  // 1 if it wrapped
  EXPECT_EQ(openCounted(u"\\18446744073709551617"), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(openCounted(u"\\" + std::u16string(4000, u'9')), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(openCounted(u"\\" + std::u16string(40, u'0') + u"2"), STATUS_SUCCESS);
  EXPECT_EQ(pipe(0)->PipeFlags, 0u);
  EXPECT_EQ(pipe(1)->PipeFlags, 0u);
}

TEST_F(CreateCloseTest, OpensAreRefusedWhileAStopIsPendingButClosesSucceed) {
  PFILE_OBJECT file;
  ASSERT_EQ(openCounted(u"\\0", &file), STATUS_SUCCESS);
  extension->StopPending = TRUE;
  EXPECT_EQ(openCounted(u""), STATUS_DELETE_PENDING);
  close(file);
  EXPECT_EQ(extension->OpenCount, 0);
  EXPECT_EQ(pipe(0)->PipeFlags, 0u);
  extension->StopPending = FALSE;
  EXPECT_EQ(openCounted(u""), STATUS_SUCCESS);
}

TEST_F(CreateCloseTest, OnlyAStartedDeviceWithNothingPendingAcceptsOpens) {
  BOOLEAN* flags[] = {&extension->DeviceRemoved, &extension->RemovePending, &extension->StopPending};
  for (BOOLEAN* flag : flags) {
    *flag = TRUE;
    EXPECT_FALSE(PLMUSB_CanAcceptIoRequests(fdo));
    EXPECT_EQ(openCounted(u""), STATUS_DELETE_PENDING);
    *flag = FALSE;
  }
  extension->DeviceStarted = FALSE;
  EXPECT_EQ(openCounted(u""), STATUS_DELETE_PENDING);
  extension->DeviceStarted = TRUE;
  EXPECT_TRUE(PLMUSB_CanAcceptIoRequests(fdo));
}

}  // namespace
