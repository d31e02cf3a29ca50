// The spooler's administration as programs call it: EnumPrintersA level 5
// with its size protocol, OpenPrinterA's access check, DeletePrinter (at
// once, or once the last job ends), AddMonitorA and DeleteMonitorA, printer
// queues kept in the registry across a start. Outputs and the last error are
// filled with a sentinel first, so an untouched value is told from a written one.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "machine/machine.h"
#include "test_monitor/test_monitor.h"
#include "user/printer_queue_registry.h"

namespace {

constexpr DWORD kUntouched = 0xDDDDDDDD;
const HANDLE kUntouchedHandle = reinterpret_cast<HANDLE>(0xDDDD);
constexpr char kTestMonitor[] = "Test Port Monitor";

std::u16string printerKey(const std::string& name) {
  return u"\\Registry\\Machine\\" + nrv::toUtf16(nrv::kPrintersKey) + u"\\" + nrv::toUtf16(name);
}

std::u16string monitorKey(const std::string& name) {
  return u"\\Registry\\Machine\\" + nrv::toUtf16(nrv::Spooler::kMonitorsKey) + u"\\" + nrv::toUtf16(name);
}

class SpoolerAdmin : public ::testing::TestWithParam<nrv::OsProfile> {
 protected:
  SpoolerAdmin() {
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON.DLL", TEST_MONITOR_MODULE);
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMON2.DLL",
                                  SECOND_MONITOR_MODULE);
    machine.files().putModuleFile(machine.files().systemDirectory() + "\\TESTMONX.DLL",
                                  REFUSING_MONITOR_MODULE);
    machine.registerMonitor(kTestMonitor, "TESTMON.DLL");
  }

  struct Listing {
    BOOL result;
    DWORD error;
    DWORD needed;
    DWORD returned;
    std::vector<uint8_t> buffer;
  };
  Listing enumerate(DWORD size, bool withBuffer = true, DWORD level = 5) {
    nrv::ProcessScope scope(program);
    Listing listing{FALSE, kUntouched, kUntouched, kUntouched, std::vector<uint8_t>(size + 16, 0xEE)};
    SetLastError(kUntouched);
    listing.result =
        EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, level, withBuffer ? listing.buffer.data() : nullptr, size,
                      &listing.needed, &listing.returned);
    listing.error = GetLastError();
    for (size_t at = size; at < listing.buffer.size(); at++) EXPECT_EQ(listing.buffer[at], 0xEE) << at;
    return listing;
  }
  // "name on port" for each printer, through the size query and the fetch a program makes.
  std::vector<std::string> printers() {
    Listing size = enumerate(0, false);
    if (size.result) return {};
    Listing listing = enumerate(size.needed);
    EXPECT_TRUE(listing.result) << listing.error;
    std::vector<std::string> names;
    auto* records = reinterpret_cast<PRINTER_INFO_5A*>(listing.buffer.data());
    for (DWORD index = 0; index < listing.returned; index++)
      names.push_back(std::string(records[index].pPrinterName) + " on " + records[index].pPortName);
    return names;
  }

  struct Opened {
    BOOL result;
    DWORD error;
    HANDLE handle;
  };
  Opened open(const char* name, ACCESS_MASK access, const char* datatype = nullptr) {
    nrv::ProcessScope scope(program);
    std::string copy = name;
    std::string type = datatype != nullptr ? datatype : "";
    PRINTER_DEFAULTSA defaults{datatype != nullptr ? type.data() : nullptr, nullptr, access};
    Opened opened{FALSE, kUntouched, kUntouchedHandle};
    SetLastError(kUntouched);
    opened.result = OpenPrinterA(copy.data(), &opened.handle, &defaults);
    opened.error = GetLastError();
    return opened;
  }
  DWORD deletePrinter(HANDLE handle) {
    nrv::ProcessScope scope(program);
    SetLastError(kUntouched);
    return DeletePrinter(handle) ? NO_ERROR : GetLastError();
  }
  void close(HANDLE handle) {
    nrv::ProcessScope scope(program);
    EXPECT_TRUE(ClosePrinter(handle));
  }
  DWORD addMonitor(const char* name, const char* environment, const char* dll, DWORD level = 2) {
    nrv::ProcessScope scope(program);
    std::string n = name, e = environment != nullptr ? environment : "", d = dll;
    MONITOR_INFO_2A info{n.data(), environment != nullptr ? e.data() : nullptr, d.data()};
    SetLastError(kUntouched);
    return AddMonitorA(nullptr, level, reinterpret_cast<LPBYTE>(&info)) ? NO_ERROR : GetLastError();
  }
  DWORD deleteMonitor(const char* name) {
    nrv::ProcessScope scope(program);
    std::string n = name;
    SetLastError(kUntouched);
    return DeleteMonitorA(nullptr, nullptr, n.data()) ? NO_ERROR : GetLastError();
  }
  std::vector<std::string> portNames() {
    std::vector<std::string> names;
    for (const nrv::PortRecord& port : machine.spooler().ports()) names.push_back(port.name);
    return names;
  }
  const char* localEnvironment() const {
    return GetParam() == nrv::OsProfile::Windows98 ? "Windows 4.0" : "Windows NT x86";
  }

  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& program = machine.startProcess("program");
};

TEST_P(SpoolerAdmin, EnumPrintersLevel5SizesAndContents) {
  Listing early = enumerate(0, false);
  EXPECT_FALSE(early.result);
  EXPECT_EQ(early.error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(early.needed, kUntouched);
  machine.startSpooler();

  // No printers: success, nothing needed, nothing returned.
  Listing none = enumerate(0, false);
  EXPECT_TRUE(none.result);
  EXPECT_EQ(none.error, kUntouched);
  EXPECT_EQ(none.needed, 0u);
  EXPECT_EQ(none.returned, 0u);

  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:", nrv::PrinterTimeouts{20000, 60000}).result);
  ASSERT_TRUE(machine.spooler().addPrinter("Lab Printer", "test2:").result);
  DWORD expected = 2 * sizeof(PRINTER_INFO_5A) + sizeof("Office") + sizeof("TEST1:") + sizeof("Lab Printer") +
                   sizeof("TEST2:");
  Listing size = enumerate(0, false);
  EXPECT_FALSE(size.result);
  EXPECT_EQ(size.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size.needed, expected);
  EXPECT_EQ(size.returned, 0u);

  Listing shortBy1 = enumerate(expected - 1);
  EXPECT_FALSE(shortBy1.result);
  EXPECT_EQ(shortBy1.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(shortBy1.needed, expected);
  EXPECT_EQ(shortBy1.buffer[0], 0xEE);

  // A larger buffer: the records first, the strings packed at its very end.
  Listing roomy = enumerate(expected + 40);
  ASSERT_TRUE(roomy.result);
  EXPECT_EQ(roomy.error, kUntouched);
  EXPECT_EQ(roomy.needed, expected);
  ASSERT_EQ(roomy.returned, 2u);
  auto* records = reinterpret_cast<PRINTER_INFO_5A*>(roomy.buffer.data());
  EXPECT_STREQ(records[0].pPrinterName, "Office");
  EXPECT_STREQ(records[0].pPortName, "TEST1:");
  EXPECT_EQ(records[0].Attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL));
  EXPECT_EQ(records[0].DeviceNotSelectedTimeout, 20000u);
  EXPECT_EQ(records[0].TransmissionRetryTimeout, 60000u);
  EXPECT_STREQ(records[1].pPrinterName, "Lab Printer");
  EXPECT_STREQ(records[1].pPortName, "TEST2:");  // as the monitor lists it
  EXPECT_EQ(records[1].TransmissionRetryTimeout, nrv::PrinterTimeouts::kDefaultRetry);
  EXPECT_EQ(reinterpret_cast<LPBYTE>(records[0].pPortName) + sizeof("TEST1:"),
            roomy.buffer.data() + expected + 40);
  EXPECT_EQ(roomy.buffer[2 * sizeof(PRINTER_INFO_5A)], 0xEE);  // the gap stays as it was

  Listing level = enumerate(0, false, 3);
  EXPECT_FALSE(level.result);
  EXPECT_EQ(level.error, static_cast<DWORD>(ERROR_INVALID_LEVEL));
  nrv::ProcessScope scope(program);
  SetLastError(kUntouched);
  EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_X_NULL_REF_POINTER));
}

TEST_P(SpoolerAdmin, OpenPrinterChecksTheAccessAskedAgainstWhatThePrinterGrants) {
  machine.startSpooler();
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);

  Opened all = open("office", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(all.result) << all.error;
  close(all.handle);
  Opened generic = open("Office", GENERIC_ALL);
  ASSERT_TRUE(generic.result);
  EXPECT_EQ(deletePrinter(generic.handle), NO_ERROR);  // GENERIC_ALL maps to every printer right
  close(generic.handle);
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);

  machine.spooler().printer("Office")->restrictAccess(PRINTER_ACCESS_USE | STANDARD_RIGHTS_READ);
  Opened refused = open("Office", PRINTER_ALL_ACCESS);
  EXPECT_FALSE(refused.result);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(refused.handle, kUntouchedHandle);
  EXPECT_FALSE(open("Office", SERVER_ACCESS_ADMINISTER).result);  // a server's right, not a printer's

  // Without defaults a program asks only to use the printer: it may not delete it.
  {
    nrv::ProcessScope scope(program);
    char name[] = "Office";
    HANDLE plain = nullptr;
    ASSERT_TRUE(OpenPrinterA(name, &plain, nullptr));
    EXPECT_EQ(deletePrinter(plain), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    close(plain);
  }
  Opened use = open("Office", PRINTER_ACCESS_USE, "raw");
  ASSERT_TRUE(use.result);
  EXPECT_EQ(deletePrinter(use.handle), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // the handle has no DELETE
  close(use.handle);
  EXPECT_EQ(printers(), std::vector<std::string>{"Office on TEST1:"});

  Opened emf = open("Office", PRINTER_ACCESS_USE, "NT EMF 1.008");
  EXPECT_FALSE(emf.result);
  EXPECT_EQ(emf.error, static_cast<DWORD>(ERROR_INVALID_DATATYPE));
}

TEST_P(SpoolerAdmin, DeletePrinterRemovesThePrinterAndItsKeyAndTheHandleStaysUntilClosed) {
  machine.startSpooler();
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);
  ASSERT_TRUE(machine.spooler().addPrinter("Lab", "TEST2:").result);
  ASSERT_TRUE(machine.registry().keyExists(printerKey("Office")));

  Opened office = open("Office", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(office.result);
  EXPECT_EQ(deletePrinter(office.handle), NO_ERROR);
  EXPECT_EQ(printers(), std::vector<std::string>{"Lab on TEST2:"});
  EXPECT_FALSE(machine.registry().keyExists(printerKey("Office")));
  EXPECT_FALSE(open("Office", PRINTER_ACCESS_USE).result);
  EXPECT_EQ(deletePrinter(office.handle), static_cast<DWORD>(ERROR_PRINTER_DELETED));
  close(office.handle);

  // A port nothing prints to any more can be deleted.
  nrv::ProcessScope scope(program);
  char port[] = "TEST1:";
  EXPECT_TRUE(DeletePortA(nullptr, nullptr, port));
}

TEST_P(SpoolerAdmin, APrinterThatCannotBeDeletedStaysAndSaysWhy) {
  machine.startSpooler();
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);
  machine.spooler().printer("Office")->scriptDeletionFailure(ERROR_ACCESS_DENIED);
  Opened office = open("Office", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(office.result);
  EXPECT_EQ(deletePrinter(office.handle), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  close(office.handle);
  EXPECT_EQ(printers(), std::vector<std::string>{"Office on TEST1:"});
  EXPECT_TRUE(machine.registry().keyExists(printerKey("Office")));
}

TEST_P(SpoolerAdmin, APrinterWithAJobLeftGoesOnceTheJobEndsAndTheJobIsNotCutShort) {
  machine.startSpooler();
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);
  auto block = reinterpret_cast<TestMonitorControlBlockRoutine>(machine.spooler().process()->exportOf(
      *machine.spooler().monitorModule(kTestMonitor), "TestMonitorControlBlock"));
  TestMonitorControl* control = block();
  control->WriteScript[0] = TestWriteStep{TEST_WRITE_FAIL, ERROR_NOT_READY};
  control->WriteScriptLength = 1;
  std::shared_ptr<nrv::PrintJob> job =
      machine.spooler().submitJob("Office", "doc", nrv::documentOf(std::vector<uint8_t>(10000, 7)));
  ASSERT_EQ(machine.spooler().waitForJob(*job), nrv::JobState::Error);

  Opened office = open("Office", PRINTER_ALL_ACCESS);
  ASSERT_TRUE(office.result);
  EXPECT_EQ(deletePrinter(office.handle), NO_ERROR);
  // Pending deletion: still listed, its key gone, no new job taken.
  EXPECT_EQ(printers(), std::vector<std::string>{"Office on TEST1:"});
  EXPECT_FALSE(machine.registry().keyExists(printerKey("Office")));
  EXPECT_EQ(machine.spooler().submitJob("Office", "late", nrv::documentOf({1, 2, 3})), nullptr);
  EXPECT_EQ(deletePrinter(office.handle), NO_ERROR);  // asked again, it stays pending

  ASSERT_TRUE(machine.spooler().retryJob(*job));
  EXPECT_EQ(machine.spooler().waitForJob(*job), nrv::JobState::Done);
  EXPECT_EQ(job->bytesTaken(), 10000u);
  EXPECT_TRUE(printers().empty());
  close(office.handle);
}

TEST_P(SpoolerAdmin, QueuesAreKeptInTheRegistryAndComeBackWhenTheSpoolerStarts) {
  // As a spooler that ran before left them: one on a port the monitor lists, one on a port none lists.
  nrv::storePrinter(machine.registry(),
                    nrv::StoredPrinter{u"Kept", u"test2:", nrv::PrinterTimeouts{1000, 2000}});
  nrv::storePrinter(machine.registry(), nrv::StoredPrinter{u"Orphan", u"GONE1:", {}});
  machine.startSpooler();
  EXPECT_EQ(printers(), (std::vector<std::string>{"Kept on TEST2:", "Orphan on GONE1:"}));
  EXPECT_EQ(machine.spooler().printer("Kept")->timeouts().retry, 2000u);

  ASSERT_TRUE(machine.spooler().addPrinter("New", "TEST1:", nrv::PrinterTimeouts{3000, 4000}).result);
  nrv::Registry& registry = machine.registry();
  EXPECT_EQ(registry.stringValue(printerKey("New"), u"Name"), u"New");
  EXPECT_EQ(registry.stringValue(printerKey("New"), u"Port"), u"TEST1:");
  EXPECT_EQ(registry.dwordValue(printerKey("New"), u"Attributes"),
            static_cast<uint32_t>(PRINTER_ATTRIBUTE_LOCAL));
  EXPECT_EQ(registry.dwordValue(printerKey("New"), u"dnsTimeout"), 3000u);
  EXPECT_EQ(registry.dwordValue(printerKey("New"), u"txTimeout"), 4000u);

  // A job for the printer whose port no monitor lists ends in error, it does not hang.
  std::shared_ptr<nrv::PrintJob> job = machine.spooler().submitJob("Orphan", "doc", nrv::documentOf({1}));
  EXPECT_EQ(machine.spooler().waitForJob(*job), nrv::JobState::Error);
  EXPECT_EQ(job->lastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  machine.spooler().cancelJob(*job);
}

TEST_P(SpoolerAdmin, AddMonitorChecksTheEnvironmentTheNameAndTheFileAndLoadsItAtOnce) {
  machine.startSpooler();
  const char* other = GetParam() == nrv::OsProfile::Windows98 ? "Windows NT x86" : "Windows 4.0";
  EXPECT_EQ(addMonitor("Second", other, "TESTMON2.DLL"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_EQ(addMonitor("Second", nullptr, "TESTMON2.DLL"), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
  EXPECT_EQ(addMonitor("Second", localEnvironment(), "TESTMON2.DLL", 1),
            static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_EQ(addMonitor("Second", localEnvironment(), "NOSUCH.DLL"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(addMonitor(kTestMonitor, localEnvironment(), "TESTMON.DLL"),
            static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  EXPECT_FALSE(machine.registry().keyExists(monitorKey("Second")));

  // A monitor that refuses to start leaves no key, and the call fails with its error.
  EXPECT_EQ(addMonitor("Refusing", localEnvironment(), "TESTMONX.DLL"),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(machine.registry().keyExists(monitorKey("Refusing")));

  std::string upper = localEnvironment();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(addMonitor("Second", upper.c_str(), "testmon2.dll"), NO_ERROR);
  EXPECT_EQ(machine.registry().stringValue(monitorKey("Second"), u"Driver"), u"testmon2.dll");
  EXPECT_NE(machine.spooler().monitorModule("Second"), nullptr);
  std::vector<std::string> ports = portNames();
  EXPECT_NE(std::find(ports.begin(), ports.end(), "SECOND1:"), ports.end());
  ASSERT_TRUE(machine.spooler().addPrinter("On second", "SECOND1:").result);
  EXPECT_EQ(addMonitor("Second", localEnvironment(), "TESTMON2.DLL"),
            static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
}

TEST_P(SpoolerAdmin, DeleteMonitorRefusesAnUnknownOneAndOneInUseAndLetsTheOthersGo) {
  machine.startSpooler();
  EXPECT_EQ(deleteMonitor("No Such Monitor"), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  EXPECT_EQ(deleteMonitor("Local Port"), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  ASSERT_TRUE(machine.spooler().addPrinter("Office", "TEST1:").result);
  EXPECT_EQ(deleteMonitor(kTestMonitor), static_cast<DWORD>(ERROR_PRINT_MONITOR_IN_USE));
  EXPECT_TRUE(machine.registry().keyExists(monitorKey(kTestMonitor)));

  // The printer goes; the port it opened for a job is closed as its monitor goes.
  std::shared_ptr<nrv::PrintJob> job = machine.spooler().submitJob("Office", "doc", nrv::documentOf({1, 2}));
  ASSERT_EQ(machine.spooler().waitForJob(*job), nrv::JobState::Done);
  Opened office = open("Office", PRINTER_ALL_ACCESS);
  ASSERT_EQ(deletePrinter(office.handle), NO_ERROR);
  close(office.handle);
  EXPECT_EQ(deleteMonitor("test port monitor"), NO_ERROR);
  EXPECT_FALSE(machine.registry().keyExists(monitorKey(kTestMonitor)));
  EXPECT_EQ(machine.spooler().monitorModule(kTestMonitor), nullptr);
  EXPECT_EQ(portNames(), (std::vector<std::string>{"LPT1:", "COM1:", "FILE:"}));
  EXPECT_EQ(deleteMonitor(kTestMonitor), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
}

// Windows 2000 lets only administrators add and delete monitors; Windows 98 has no such rule.
TEST_P(SpoolerAdmin, OnlyAnAdministratorAdministersMonitorsOnWindows2000) {
  machine.startSpooler();
  program.token()->setAdministrator(false);
  DWORD refusal =
      GetParam() == nrv::OsProfile::Windows98 ? NO_ERROR : static_cast<DWORD>(ERROR_ACCESS_DENIED);
  EXPECT_EQ(addMonitor("Second", localEnvironment(), "TESTMON2.DLL"), refusal);
  EXPECT_EQ(machine.registry().keyExists(monitorKey("Second")), refusal == NO_ERROR);
  EXPECT_EQ(deleteMonitor(kTestMonitor), refusal);
  EXPECT_EQ(machine.spooler().monitorModule(kTestMonitor) != nullptr, refusal != NO_ERROR);
}

// Programs list ports on their threads while the monitor is added and
// deleted again: each listing holds it whole or not at all, and its library
// goes only once no call of it is left.
TEST_P(SpoolerAdmin, MonitorsComeAndGoWhileProgramsListPorts) {
  machine.startSpooler();
  std::vector<size_t> sizes[2];
  for (int asker = 0; asker < 2; asker++) {
    program.startThread("asker", [this, &sizes, asker] {
      for (int round = 0; round < 12; round++) sizes[asker].push_back(machine.spooler().ports().size());
    });
  }
  for (int round = 0; round < 4; round++) {
    EXPECT_EQ(addMonitor("Second", localEnvironment(), "TESTMON2.DLL"), NO_ERROR);
    EXPECT_EQ(deleteMonitor("Second"), NO_ERROR);
  }
  machine.joinThreads();
  for (const std::vector<size_t>& seen : sizes) {
    ASSERT_EQ(seen.size(), 12u);
    // The local ports and TEST1:, TEST2:, with or without SECOND1:, SECOND2:.
    for (size_t count : seen) EXPECT_TRUE(count == 5u || count == 7u) << count;
  }
  EXPECT_EQ(machine.spooler().monitorModule("Second"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, SpoolerAdmin,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<nrv::OsProfile>& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
