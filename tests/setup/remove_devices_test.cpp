// RemoveDevices in both programs' variants, on both systems, with one printer
// attached and one that was unplugged: what each removes (devices, child
// devices, keys, printers, ports, list entries, INF files) and what it leaves.
#include <windows.h>
#include <winspool.h>

#include <algorithm>

#include "base/text.h"
#include "cleanup_machine.h"
#include "kernel/pnp_manager.h"

namespace {

constexpr char kAttachedId[] = "MFG:NRV;CMD:PCL;MDL:Jet A;CLS:PRINTER;DES:NRV Jet A;";
constexpr char kDetachedId[] = "MFG:NRV;CMD:PCL;MDL:Jet B;CLS:PRINTER;DES:NRV Jet B;";
constexpr char16_t kMruKey[] =
    u"\\Registry\\User\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";

struct Case {
  nrv::OsProfile profile;
  SetupVariant variant;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.profile == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000") +
         (info.param.variant == SetupVariant::Installer ? "Installer" : "Uninstaller");
}

// What the system built around one printer, remembered before the removal.
struct PrinterTraces {
  std::string port;
  std::u16string instanceKey;
  std::u16string driverKey;
  std::u16string childKey;  // the LPTENUM child's instance key
};

class RemoveDevices : public ::testing::TestWithParam<Case> {
 protected:
  RemoveDevices() : bench(GetParam().profile, GetParam().variant) {
    bench.loadDriver();
    bench.startSpooler();
    // Both are plugged at once so that each has a port of its own.
    nrv::UsbDevice& detached = bench.plug(kDetachedId, "B1");
    nrv::UsbDevice& attachedPrinter = bench.plug(kAttachedId, "A1");
    detachedTraces = traces(detached);
    attachedTraces = traces(attachedPrinter);
    attached = &attachedPrinter;
    bench.unplug(detached);
  }

  bool is98() const { return GetParam().profile == nrv::OsProfile::Windows98; }
  bool installer() const { return GetParam().variant == SetupVariant::Installer; }

  PrinterTraces traces(const nrv::UsbDevice& printer) {
    PrinterTraces found;
    found.port = bench.portNameOf(printer);
    found.instanceKey = nrv::Registry::instanceKeyPath(bench.machine.profile(), printer.instancePath());
    found.driverKey = bench.machine.registry()
                          .installedDriverKeyPath(bench.machine.profile(), printer.instancePath())
                          .value_or(u"");
    for (nrv::DeviceNode* node : bench.machine.pnp().nodes()) {
      if (node->parent != nullptr && node->instanceId == nrv::toUtf16(found.port))
        found.childKey = nrv::Registry::instanceKeyPath(bench.machine.profile(), node->instancePath);
    }
    EXPECT_FALSE(found.port.empty());
    EXPECT_FALSE(found.driverKey.empty());
    EXPECT_FALSE(found.childKey.empty());
    return found;
  }

  // The printer queues on a port, by EnumPrintersA as a program sees them.
  std::vector<std::string> queuesOn(const std::string& port) {
    nrv::ProcessScope scope(bench.process);
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + 1);
    std::vector<std::string> names;
    if (needed == 0 ||
        !EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 5, buffer.data(), needed, &needed, &returned))
      return names;
    auto* printers = reinterpret_cast<PRINTER_INFO_5A*>(buffer.data());
    for (DWORD index = 0; index < returned; index++) {
      if (port == printers[index].pPortName) names.push_back(printers[index].pPrinterName);
    }
    return names;
  }

  bool portListed(const std::string& port) {
    nrv::ProcessScope scope(bench.process);
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPortsA(nullptr, 1, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed + 1);
    if (!EnumPortsA(nullptr, 1, buffer.data(), needed, &needed, &returned)) return false;
    auto* ports = reinterpret_cast<PORT_INFO_1A*>(buffer.data());
    for (DWORD index = 0; index < returned; index++) {
      if (port == ports[index].pName) return true;
    }
    return false;
  }

  bool mruLists(const std::string& port) {
    for (const nrv::NamedRegistryValue& value : bench.machine.registry().values(kMruKey)) {
      if (nrv::registryStringText(value.value.bytes) == nrv::toUtf16(port)) return true;
    }
    return false;
  }

  bool keyExists(const std::u16string& key) { return bench.machine.registry().keyExists(key); }

  // Every trace of a printer is gone.
  void expectGone(const PrinterTraces& printer) {
    SCOPED_TRACE("printer on " + printer.port);
    EXPECT_FALSE(keyExists(printer.instanceKey));
    EXPECT_FALSE(keyExists(printer.childKey));
    EXPECT_EQ(queuesOn(printer.port), std::vector<std::string>{});
    EXPECT_FALSE(portListed(printer.port));
    EXPECT_FALSE(mruLists(printer.port));
  }

  // Every trace of a printer is still there.
  void expectKept(const PrinterTraces& printer) {
    SCOPED_TRACE("printer on " + printer.port);
    EXPECT_TRUE(keyExists(printer.instanceKey));
    EXPECT_TRUE(keyExists(printer.driverKey));
    EXPECT_TRUE(keyExists(printer.childKey));
    EXPECT_EQ(queuesOn(printer.port).size(), 1u);
    EXPECT_TRUE(portListed(printer.port));
    EXPECT_EQ(mruLists(printer.port), is98());
  }

  BOOLEAN removeDevices() { return bench.call<BOOLEAN>("RemoveDevices", static_cast<BYTE>(is98() ? 1 : 2)); }

  CleanupBench bench;
  nrv::UsbDevice* attached = nullptr;
  PrinterTraces attachedTraces;
  PrinterTraces detachedTraces;
};

TEST_P(RemoveDevices, RemovesTheAttachedPrinterAndTheDetachedOneOnlyInTheUninstaller) {
  BOOLEAN result = removeDevices();
  expectGone(attachedTraces);
  if (installer()) {
    EXPECT_EQ(result, 1);
    expectKept(detachedTraces);
  } else {
    // Neither device had an INF file.
    EXPECT_EQ(result, FALSE);
    expectGone(detachedTraces);
  }
  // The attached device went through query-remove and remove.
  std::vector<UCHAR> sent;
  for (const nrv::PnpRequestRecord& request : bench.machine.pnp().requests()) {
    if (request.minor == IRP_MN_QUERY_REMOVE_DEVICE || request.minor == IRP_MN_REMOVE_DEVICE)
      sent.push_back(request.minor);
  }
  const UCHAR orderly[] = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE};
  EXPECT_NE(std::search(sent.begin(), sent.end(), std::begin(orderly), std::end(orderly)), sent.end());
}

TEST_P(RemoveDevices, TheDriverKeyGoesFirstOnWindows98InTheInstallerAndWithTheDeviceOtherwise) {
  removeDevices();
  EXPECT_FALSE(keyExists(attachedTraces.driverKey));
}

TEST_P(RemoveDevices, TheUninstallerSchedulesTheInfFileOfEveryDeviceThatHasOne) {
  std::string infFolder = bench.machine.files().windowsDirectory() + (is98() ? "\\INF\\OTHER\\" : "\\INF\\");
  bench.machine.registry().setString(attachedTraces.driverKey, u"InfPath", u"OEM7.INF");
  bench.machine.registry().setString(detachedTraces.driverKey, u"InfPath", u"OEM8.INF");
  bench.putFile(infFolder + "OEM7.INF", "[Version]\r\n");
  bench.putFile(infFolder + "OEM8.INF", "[Version]\r\n");
  BOOLEAN result = removeDevices();
  if (installer()) {
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(bench.machine.files().isFile(infFolder + "OEM7.INF"));
    EXPECT_TRUE(bench.machine.files().isFile(infFolder + "OEM8.INF"));
  } else {
    EXPECT_EQ(result, TRUE);
    EXPECT_FALSE(bench.machine.files().isFile(infFolder + "OEM7.INF"));
    EXPECT_FALSE(bench.machine.files().isFile(infFolder + "OEM8.INF"));
    std::string winInit = bench.fileText(bench.machine.files().windowsDirectory() + "\\WININIT.INI");
    if (is98()) {
      // Each new line goes first into the section: the device found last stands first.
      EXPECT_EQ(winInit, "[Rename]\r\nNUL=" + infFolder + "OEM8.INF\r\nNUL=" + infFolder + "OEM7.INF\r\n");
    } else {
      EXPECT_EQ(winInit, "(none)");
    }
  }
}

TEST_P(RemoveDevices, TheModelsEnumerationKeyGoesWithItsLastInstanceInTheUninstallerOnWindows98) {
  std::u16string modelKey = attachedTraces.instanceKey.substr(0, attachedTraces.instanceKey.rfind(u'\\'));
  removeDevices();
  EXPECT_EQ(keyExists(modelKey), installer() || !is98());
}

TEST_P(RemoveDevices, OnWindows98OnlyTheInstallerTakesLptEnumKeysOfThePortThatNoDeviceOwns) {
  if (!is98()) GTEST_SKIP() << "Windows 98 keeps its enumeration tree under HKEY_LOCAL_MACHINE\\Enum";
  std::u16string handMade =
      u"\\Registry\\Machine\\Enum\\LPTENUM\\HANDMADE\\" + nrv::toUtf16(attachedTraces.port);
  bench.machine.registry().createKey(handMade);
  removeDevices();
  EXPECT_EQ(keyExists(handMade), !installer());
}

TEST_P(RemoveDevices, ADeviceWhoseKeyDoesNotOpenStaysInTheInstallerAndGoesWithoutItsPortInTheUninstaller) {
  if (is98()) GTEST_SKIP() << "a Windows 98 device key is its instance key";
  bench.machine.registry().deleteTree(
      nrv::Registry::deviceKeyPath(bench.machine.profile(), attached->instancePath()));
  removeDevices();
  EXPECT_EQ(keyExists(attachedTraces.instanceKey), installer());
  // Without its key the port is not known, so what was built on it stays.
  EXPECT_EQ(queuesOn(attachedTraces.port).size(), 1u);
  EXPECT_TRUE(keyExists(attachedTraces.childKey));
}

INSTANTIATE_TEST_SUITE_P(BothVariantsOnBothSystems, RemoveDevices,
                         ::testing::Values(Case{nrv::OsProfile::Windows98, SetupVariant::Installer},
                                           Case{nrv::OsProfile::Windows98, SetupVariant::Uninstaller},
                                           Case{nrv::OsProfile::Windows2000, SetupVariant::Installer},
                                           Case{nrv::OsProfile::Windows2000, SetupVariant::Uninstaller}),
                         caseName);

}  // namespace
