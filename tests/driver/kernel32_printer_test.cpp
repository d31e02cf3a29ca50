// The driver as a program reaches it: kernel32's device files on the path
// setupapi hands out, with the overlapped write, the wait with a time limit
// and the cancel request of the port monitor.
#include <windows.h>

#include "printer_on_bus.h"
#include "usbprn_ioctl.h"

namespace {

constexpr UCHAR kOut = 0x01;
constexpr UCHAR kWritePipe = 0;

class Kernel32Printer : public PrinterOnBusTest {
 protected:
  void SetUp() override {
    printer = plugAndAdd();
    ASSERT_EQ(start(printer), STATUS_SUCCESS);
  }

  // "\??\USB#VID_..." as "\\?\usb#vid_...", the form and case setupapi gives.
  std::string win32Path() {
    std::string path = nrv::toUtf8(reinterpret_cast<const char16_t*>(printer.extension()->InterfaceLinkName));
    path[1] = '\\';
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
  }

  HANDLE openOverlapped() {
    return CreateFileA(win32Path().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }

  AddedPrinter printer;
  nrv::Process& spooler = machine.startProcess("spooler");
  nrv::ProcessScope scope{spooler};
};

TEST_F(Kernel32Printer, AStalledWriteIsWaitedForInSlicesAndCancelled) {
  printer.usb->model().holdBulkTransfer(kOut, 1);
  HANDLE device = openOverlapped();
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0xDEADBEEF;
  EXPECT_FALSE(WriteFile(device, "%!PS\n", 5, &written, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 3000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 3000), static_cast<DWORD>(WAIT_TIMEOUT));

  UCHAR selector = kWritePipe;
  DWORD returned = 0xDEADBEEF;
  EXPECT_TRUE(DeviceIoControl(device, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, &selector, 1, nullptr, 0, &returned,
                              nullptr));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 3000), WAIT_OBJECT_0);
  // The driver ends a cancelled write as a success with the bytes that went out.
  DWORD transferred = 0xDEADBEEF;
  EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &transferred, FALSE));
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(transferred, 0u);

  // The pipe recovers: the next write goes through at once or pending, and completes.
  EXPECT_TRUE(
      DeviceIoControl(device, IOCTL_USBPRN_RESET_BULK_PIPE, &selector, 1, nullptr, 0, &returned, nullptr));
  if (!WriteFile(device, "%!PS\n", 5, &written, &overlapped)) {
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &transferred, TRUE));
  EXPECT_EQ(transferred, 5u);
  EXPECT_EQ(printer.usb->model().outData(), (std::vector<UCHAR>{'%', '!', 'P', 'S', '\n'}));
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  EXPECT_TRUE(CloseHandle(device));
}

TEST_F(Kernel32Printer, AReplyIsReadAndThePortStatusAsked) {
  HANDLE device = openOverlapped();
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  printer.usb->printer().setPortStatus(0x18);
  USHORT one = 1;
  UCHAR status = 0;
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(device, IOCTL_USBPRN_GET_PORT_STATUS, &one, 2, &status, 1, &returned, nullptr));
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(status, 0x18);

  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char reply[4096];
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(device, reply, sizeof(reply), &read, &overlapped)) << "nothing to read yet";
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 1500), static_cast<DWORD>(WAIT_TIMEOUT));
  printer.usb->model().queueInReply({'@', 'P', 'J', 'L'});
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 1500), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &read, FALSE));
  EXPECT_EQ(std::string(reply, read), "@PJL");
  EXPECT_TRUE(CloseHandle(overlapped.hEvent));
  EXPECT_TRUE(CloseHandle(device));
}

}  // namespace
