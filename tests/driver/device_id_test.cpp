// The printer's IEEE 1284 device ID: fetched into "DeviceID", its fields read
// back, and the check value of the child's identifiers.
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "printer_on_bus.h"

namespace {

using nrv::ieee1284DeviceId;

std::vector<UCHAR> withPrefix(UCHAR high, UCHAR low, const std::string& text) {
  std::vector<UCHAR> reply(text.size() + 2);
  reply[0] = high;
  reply[1] = low;
  std::copy(text.begin(), text.end(), reply.begin() + 2);
  return reply;
}

class SetDeviceIdTest : public PrinterOnBusTest {
 protected:
  // Plugs a printer answering GET_DEVICE_ID with this reply and fetches its ID.
  AddedPrinter plugWithReply(std::vector<UCHAR> reply) {
    nrv::PrinterConfig config;
    config.deviceId = std::move(reply);
    config.usb.serialNumber = u"NRV" + nrv::toUtf16(std::to_string(++printers_));
    return plugAndAdd(config);
  }
  std::string storedId(const AddedPrinter& printer) { return stringValue(deviceKey(*printer.usb), u"DeviceID"); }
  // Earlier contents, so that a failure is seen to clear the value.
  void storeStaleId(const AddedPrinter& printer) {
    machine.registry().setString(deviceKey(*printer.usb), u"DeviceID", u"MFG:OLD;");
  }

 private:
  int printers_ = 0;
};

TEST_F(SetDeviceIdTest, TheIdIsAskedForOnceAsAClassRequestToTheInterface) {
  AddedPrinter printer = plugWithReply(ieee1284DeviceId("MFG:NRV;MDL:P100;"));
  printer.usb->model().clearLog();
  ASSERT_EQ(PLMUSB_SetDeviceID(printer.fdo), STATUS_SUCCESS);
  std::vector<nrv::UsbRequestRecord> log = printer.usb->log();
  ASSERT_EQ(log.size(), 1u);
  const nrv::UsbRequestRecord& sent = log[0];
  EXPECT_EQ(std::make_tuple(sent.urbFunction, sent.transferFlags, sent.requestTypeBits, sent.requestType),
            std::make_tuple(USHORT(URB_FUNCTION_CLASS_INTERFACE), ULONG(3), UCHAR(0xA1), UCHAR(0xA1)));
  EXPECT_EQ(std::make_tuple(sent.request, sent.value, sent.index, sent.length),
            std::make_tuple(nrv::kPrinterGetDeviceId, USHORT(0), USHORT(0), USHORT(1024)));
}

// The text runs to its first NUL or the end of what was asked for, whatever
// the length prefix says, as long as the prefix announces some text.
TEST_F(SetDeviceIdTest, TheReplyDecidesWhatIsStored) {
  const std::string text24 = "MFG:ABC;MDL:P100;CLS:PR;";
  const std::string full(1022, 'x');
  struct Case {
    const char* name;
    std::vector<UCHAR> reply;
    NTSTATUS status;
    std::string stored;
  } cases[] = {
      {"prefix 0x001A", withPrefix(0x00, 0x1A, text24), STATUS_SUCCESS, text24},
      {"prefix 0xFFFF", withPrefix(0xFF, 0xFF, text24 + '\0' + "MDL:HIDDEN;"), STATUS_SUCCESS, text24},
      {"no NUL in the whole reply", withPrefix(0x04, 0x00, full), STATUS_SUCCESS, full},
      {"more sent than asked for", withPrefix(0x04, 0x00, full + "MDL:BEYOND;"), STATUS_SUCCESS, full},
      {"less sent than announced", withPrefix(0x01, 0x00, "MFG:A;"), STATUS_SUCCESS, "MFG:A;"},
      {"prefix 0x0000", withPrefix(0x00, 0x00, "MFG:A;"), STATUS_UNSUCCESSFUL, ""},
      {"prefix 0x0001", withPrefix(0x00, 0x01, "MFG:A;"), STATUS_UNSUCCESSFUL, ""},
      {"prefix 0x0002", withPrefix(0x00, 0x02, ""), STATUS_UNSUCCESSFUL, ""},
      {"one byte", {0x00}, STATUS_UNSUCCESSFUL, ""},
      {"no data", {}, STATUS_UNSUCCESSFUL, ""},
  };
  for (const Case& c : cases) {
    AddedPrinter printer = plugWithReply(c.reply);
    storeStaleId(printer);
    EXPECT_EQ(PLMUSB_SetDeviceID(printer.fdo), c.status) << c.name;
    std::string stored = storedId(printer);
    EXPECT_EQ(stored.size(), c.stored.size()) << c.name;
    EXPECT_TRUE(stored == c.stored) << c.name << ": " << stored.substr(0, 40);
  }
}

TEST_F(SetDeviceIdTest, AStalledRequestFailsAndLeavesTheValueEmpty) {
  // The stall reported through the request's status, or only through the URB's.
  for (NTSTATUS requestStatus : {STATUS_UNSUCCESSFUL, STATUS_SUCCESS}) {
    AddedPrinter printer = plugWithReply(ieee1284DeviceId("MFG:NRV;"));
    storeStaleId(printer);
    nrv::UsbDevice* usb = printer.usb;
    usb->physical().setHandler([usb, requestStatus](PIRP irp) {
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
      if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || urb == nullptr ||
          urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE) {
        return usb->dispatch(irp);
      }
      // Part of an ID arrived before the stall; it must not be taken for the whole.
      std::vector<UCHAR> part = ieee1284DeviceId("MFG:PART;");
      std::copy(part.begin(), part.end(), static_cast<PUCHAR>(urb->UrbControlVendorClassRequest.TransferBuffer));
      urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
      irp->IoStatus.Status = requestStatus;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return requestStatus;
    });
    EXPECT_EQ(PLMUSB_SetDeviceID(printer.fdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(storedId(printer), "");
  }
}

VOID NTAPI cancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(SetDeviceIdTest, APrinterThatNeverAnswersIsGivenUpAfterOneSecond) {
  AddedPrinter printer = plugWithReply(ieee1284DeviceId("MFG:NRV;"));
  printer.usb->physical().setHandler([](PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancelHeld);
    return STATUS_PENDING;
  });
  uint64_t start = machine.scheduler().nowMilliseconds();
  EXPECT_EQ(PLMUSB_SetDeviceID(printer.fdo), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(machine.scheduler().nowMilliseconds() - start, 1000u);
  EXPECT_EQ(storedId(printer), "");
}

struct Fetch {
  NTSTATUS status;
  std::string stored;
};

// Fetches the ID of a fresh printer; the nth request of the kind fails when n > 0.
Fetch fetchWithFault(nrv::FaultKind kind, uint64_t nth, uint64_t* requests) {
  PrinterBench bench;
  nrv::UsbDevice& usb = bench.plug();
  AddedPrinter printer = bench.add(usb);
  nrv::FaultInjector& faults = bench.machine.faults();
  uint64_t before = faults.requests(kind);
  if (nth != 0) faults.failNth(kind, before + nth);
  Fetch result{PLMUSB_SetDeviceID(printer.fdo), bench.stringValue(bench.deviceKey(usb), u"DeviceID")};
  if (requests != nullptr) *requests = faults.requests(kind) - before;
  faults.clear();
  return result;
}

// Every allocation failing in turn: a defined status, the ID stored exactly
// when success is reported, and no leak when the machine shuts down.
TEST(SetDeviceIdUnderLowResources, EveryAllocationFailingInTurn) {
  const std::string id = "MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;";
  for (nrv::FaultKind kind : {nrv::FaultKind::Pool, nrv::FaultKind::Irp}) {
    uint64_t total = 0;
    Fetch clean = fetchWithFault(kind, 0, &total);
    ASSERT_EQ(clean.status, STATUS_SUCCESS);
    ASSERT_EQ(clean.stored, id);
    ASSERT_GT(total, 0u);
    bool resourcesReported = false;
    for (uint64_t nth = 1; nth <= total; nth++) {
      Fetch run = fetchWithFault(kind, nth, nullptr);
      std::string where = std::string(nrv::faultKindName(kind)) + " #" + std::to_string(nth);
      if (run.status == STATUS_SUCCESS) {
        EXPECT_EQ(run.stored, id) << where;
        continue;
      }
      EXPECT_TRUE(run.status == STATUS_INSUFFICIENT_RESOURCES || run.status == STATUS_UNSUCCESSFUL)
          << where << ": " << std::hex << run.status;
      EXPECT_TRUE(run.stored == "" || run.stored == "<missing>") << where << ": " << run.stored;
      resourcesReported |= run.status == STATUS_INSUFFICIENT_RESOURCES;
    }
    if (kind == nrv::FaultKind::Pool) {
      EXPECT_TRUE(resourcesReported);
    }
  }
}

TEST(GetDeviceId, TheLongKeyWinsWhereverItStands) {
  CHAR out[257] = {};
  ASSERT_TRUE(GetDeviceID(DEVICE_ID_MANUFACTURER, "MFG:A;MANUFACTURER:B;", out, 256));
  EXPECT_STREQ(out, "B");
  ASSERT_TRUE(GetDeviceID(DEVICE_ID_MODEL, "MDL:X;CID:C;", out, 256));
  EXPECT_STREQ(out, "X");
  ASSERT_TRUE(GetDeviceID(DEVICE_ID_COMPATIBLE_ID, "MDL:X;COMPATIBLE ID:Y;CID:C;", out, 256));
  EXPECT_STREQ(out, "Y");
  ASSERT_TRUE(GetDeviceID(DEVICE_ID_DESCRIPTION, "MFG:A;DES:;", out, 256));
  EXPECT_STREQ(out, "");
}

TEST(GetDeviceId, AFieldThatIsNotThereLeavesTheOutputUntouched) {
  CHAR out[8] = "keep";
  EXPECT_FALSE(GetDeviceID(DEVICE_ID_MANUFACTURER, "mfg:A;manufacturer:B;", out, 7));
  EXPECT_FALSE(GetDeviceID(DEVICE_ID_COMPATIBLE_ID, "MFG:A;CID", out, 7));
  EXPECT_FALSE(GetDeviceID(4, "MFG:A;", out, 7));
  EXPECT_FALSE(GetDeviceID(DEVICE_ID_MODEL, nullptr, out, 7));
  EXPECT_STREQ(out, "keep");
}

// Values are cut at the maximum, with the NUL at output[maximum] and nothing
// written beyond it, whether the field ends in ';' or at the end of the text.
TEST(GetDeviceId, ValuesAreCutAtTheMaximum) {
  struct Case {
    std::string text;
    std::string value;
  } cases[] = {
      {"MDL:P100", "P100"},
      {"MFG:A;MDL:", ""},
      {"MDL:" + std::string(256, 'v') + ";", std::string(256, 'v')},
      {"MDL:" + std::string(257, 'v') + ";", std::string(256, 'v')},
      {"MDL:" + std::string(300, 'v'), std::string(256, 'v')},
  };
  for (const Case& c : cases) {
    CHAR out[300];
    std::memset(out, '#', sizeof(out));
    ASSERT_TRUE(GetDeviceID(DEVICE_ID_MODEL, c.text.c_str(), out, 256)) << c.text;
    EXPECT_EQ(std::string(out), c.value);
    EXPECT_TRUE(std::all_of(out + 257, out + sizeof(out), [](CHAR byte) { return byte == '#'; }));
  }
}

TEST(GetDeviceId, SearchesStopAtTheEndOfTheText) {
  const char text[] = "MFG:A;CMD";
  EXPECT_EQ(FindString(text, "CMD"), text + 6);
  EXPECT_EQ(FindString(text, "CMD;"), nullptr);
  EXPECT_EQ(FindString("MF", "MFG"), nullptr);
  EXPECT_EQ(FindString(nullptr, "MFG"), nullptr);
  EXPECT_EQ(FindString(text, nullptr), nullptr);
  EXPECT_EQ(FindChar(text, 'D'), text + 8);
  EXPECT_EQ(FindChar(text, '\n'), nullptr);
  EXPECT_EQ(FindChar(nullptr, ':'), nullptr);
}

ULONG checkValue(const std::string& text, ULONG start = 0) {
  ULONG value = start;
  Get_CRC_CheckSum(reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())), ULONG(text.size()), &value);
  return value;
}

TEST(CheckValue, KnownTextsGiveTheirValues) {
  EXPECT_EQ(checkValue("123456789"), 0x593Cu);
  EXPECT_EQ(checkValue("abc"), 0x9738u);
  EXPECT_EQ(checkValue("ABCP100"), 0xF2EEu);
  EXPECT_EQ(checkValue("\xF0"), 0x4600u);
  EXPECT_EQ(checkValue("", 0x1234), 0x1234u);
  EXPECT_EQ(checkValue("P100", checkValue("ABC")), 0xF2EEu);
}

}  // namespace
