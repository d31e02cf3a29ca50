// A program's printer calls: OpenPrinterA by name (ignoring case),
// GetPrinterA level 5 with the size protocol of the spooler (the record, then
// its strings), ClosePrinter; every output and the last error are filled with
// a sentinel first, so an untouched value is told from a written one.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <string>
#include <vector>

#include "death_test.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kUntouched = 0xDDDDDDDD;
const HANDLE kUntouchedHandle = reinterpret_cast<HANDLE>(0xDDDD);

class SpoolerPrinters : public ::testing::Test {
 protected:
  SpoolerPrinters() {
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.registerMonitor("Test Port Monitor", "TESTMON.DLL");
  }

  void start() {
    machine.startSpooler();
    ASSERT_TRUE(
        machine.spooler().addPrinter("Office Printer", "TEST1:", nrv::PrinterTimeouts{20000, 60000}).result);
  }

  struct Opened {
    BOOL result;
    DWORD error;
    HANDLE handle;
  };
  Opened open(const char* name) {
    nrv::ProcessScope scope(program);
    std::string copy = name;
    Opened opened{FALSE, kUntouched, kUntouchedHandle};
    SetLastError(kUntouched);
    opened.result = OpenPrinterA(copy.data(), &opened.handle, nullptr);
    opened.error = GetLastError();
    return opened;
  }

  struct Info {
    BOOL result;
    DWORD error;
    DWORD needed;
    std::vector<uint8_t> buffer;
  };
  Info get(HANDLE printer, DWORD level, DWORD size, bool withBuffer = true) {
    nrv::ProcessScope scope(program);
    Info info{FALSE, kUntouched, kUntouched, std::vector<uint8_t>(size + 16, 0xEE)};
    SetLastError(kUntouched);
    info.result = GetPrinterA(printer, level, withBuffer ? info.buffer.data() : nullptr, size, &info.needed);
    info.error = GetLastError();
    for (size_t at = size; at < info.buffer.size(); at++) EXPECT_EQ(info.buffer[at], 0xEE) << at;
    return info;
  }

  BOOL close(HANDLE printer, DWORD* error) {
    nrv::ProcessScope scope(program);
    SetLastError(kUntouched);
    BOOL result = ClosePrinter(printer);
    *error = GetLastError();
    return result;
  }

  nrv::Machine machine;
  nrv::Process& program = machine.startProcess("program");
};

TEST_F(SpoolerPrinters, OpenPrinterFindsAPrinterByNameIgnoringCase) {
  Opened early = open("Office Printer");
  EXPECT_FALSE(early.result);
  EXPECT_EQ(early.error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  start();
  for (const char* unknown : {"Office", "Office Printer ", "", "TEST1:"}) {
    Opened opened = open(unknown);
    EXPECT_FALSE(opened.result) << unknown;
    EXPECT_EQ(opened.error, static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME)) << unknown;
    EXPECT_EQ(opened.handle, kUntouchedHandle) << unknown;
  }
  Opened opened = open("OFFICE printer");
  ASSERT_TRUE(opened.result);
  EXPECT_NE(opened.handle, kUntouchedHandle);
  DWORD error = kUntouched;
  EXPECT_TRUE(close(opened.handle, &error));
  EXPECT_FALSE(close(opened.handle, &error)) << "closed already";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  {
    nrv::ProcessScope scope(program);
    char name[] = "Office Printer";
    SetLastError(kUntouched);
    EXPECT_FALSE(OpenPrinterA(name, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
  }
}

TEST_F(SpoolerPrinters, GetPrinterLevel5AsksForTheSizeFirstAndPutsTheStringsAfterTheRecord) {
  start();
  Opened opened = open("Office Printer");
  ASSERT_TRUE(opened.result);
  const DWORD size = sizeof(PRINTER_INFO_5A) + sizeof("Office Printer") + sizeof("TEST1:");

  Info query = get(opened.handle, 5, 0, false);
  EXPECT_FALSE(query.result);
  EXPECT_EQ(query.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(query.needed, size);
  Info shortOne = get(opened.handle, 5, size - 1);
  EXPECT_FALSE(shortOne.result);
  EXPECT_EQ(shortOne.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(shortOne.needed, size);
  EXPECT_EQ(shortOne.buffer, std::vector<uint8_t>(size - 1 + 16, 0xEE)) << "nothing written";

  for (DWORD room : {size, 540u}) {
    Info info = get(opened.handle, 5, room);
    ASSERT_TRUE(info.result) << room;
    EXPECT_EQ(info.error, kUntouched) << "success leaves the last error alone";
    EXPECT_EQ(info.needed, size);
    auto* record = reinterpret_cast<PRINTER_INFO_5A*>(info.buffer.data());
    EXPECT_EQ(record->pPrinterName, reinterpret_cast<LPSTR>(info.buffer.data() + sizeof(PRINTER_INFO_5A)));
    EXPECT_STREQ(record->pPrinterName, "Office Printer") << "as it was added, not as it was opened";
    EXPECT_EQ(record->pPortName, record->pPrinterName + sizeof("Office Printer"));
    EXPECT_STREQ(record->pPortName, "TEST1:");
    EXPECT_EQ(record->Attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL));
    EXPECT_EQ(record->DeviceNotSelectedTimeout, 20000u);
    EXPECT_EQ(record->TransmissionRetryTimeout, 60000u);
  }

  machine.spooler().printer("Office Printer")->setTimeouts(nrv::PrinterTimeouts{0, 1});
  Info changed = get(opened.handle, 5, 540);
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_5A*>(changed.buffer.data())->DeviceNotSelectedTimeout, 0u);
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_5A*>(changed.buffer.data())->TransmissionRetryTimeout, 1u);

  Info badLevel = get(opened.handle, 10, 540);
  EXPECT_FALSE(badLevel.result);
  EXPECT_EQ(badLevel.error, static_cast<DWORD>(ERROR_INVALID_LEVEL));
  {
    nrv::ProcessScope scope(program);
    SetLastError(kUntouched);
    EXPECT_FALSE(GetPrinterA(opened.handle, 5, nullptr, 540, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Info notAPrinter = get(event, 5, 540);
    EXPECT_EQ(notAPrinter.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD error = kUntouched;
    EXPECT_FALSE(close(event, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
  }
  DWORD error = kUntouched;
  EXPECT_TRUE(close(opened.handle, &error));
  Info closed = get(opened.handle, 5, 540);
  EXPECT_EQ(closed.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

using SpoolerPrintersDeathTest = platform_test::DeathTest;

TEST_F(SpoolerPrintersDeathTest, APrinterHandleLeftOpenIsReportedAtItsProcessEnd) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL",
                                      TEST_MONITOR_MODULE);
        machine.registerMonitor("Test Port Monitor", "TESTMON.DLL");
        machine.startSpooler();
        machine.spooler().addPrinter("P", "TEST1:");
        nrv::ProcessScope scope(machine.startProcess("program"));
        char name[] = "P";
        HANDLE printer;
        OpenPrinterA(name, &printer, nullptr);
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED.*process .program. ended with 1 handle\\(s\\) open:.*handle "
      "0x[0-9a-f]+ \\(a printer\\)");
}

}  // namespace
