// setupapi for uninstalling printers, with NRVUSB driving them: the printer
// setup class lists the printers' LPTENUM children, attached or not; a USB
// device's hardware IDs come as a multi-string on both systems; removal
// takes an attached device away through the Plug and Play manager and then
// its keys, and a device that is not attached only loses its keys; and the
// Windows 98 tree is where the clean-up routines look for it.
#include <devguid.h>
#include <gtest/gtest.h>
#include <setupapi.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "death_test.h"
#include "kernel/registry.h"
#include "machine/machine.h"
#include "usb/simulated_printer.h"
#include "user/device_info_set.h"

namespace {

using nrv::OsProfile;

const GUID kPrinterInterface = {0x762bb1b6, 0x5164, 0x11d1, {0xb0, 0x0b, 0x00, 0xc0, 0xd1, 0x57, 0x0f, 0x9e}};
constexpr char kHardwareIds[] = "USB\\VID_0A5F&PID_0027&REV_0100\0USB\\VID_0A5F&PID_0027\0";
constexpr DWORD kHardwareIdsSize = sizeof(kHardwareIds);  // with the list's closing NUL
constexpr DWORD kUntouched = 0xDDDDDDDD;

SP_DEVINFO_DATA deviceRecord() {
  SP_DEVINFO_DATA data;
  memset(&data, 0xDD, sizeof(data));
  data.cbSize = sizeof(data);
  return data;
}

std::vector<std::u16string> devicesOf(nrv::Process& process, HDEVINFO set) {
  std::vector<std::u16string> paths;
  for (const nrv::DeviceInfoEntry& entry : process.object<nrv::DeviceInfoSet>(set)->devices())
    paths.push_back(entry.instancePath);
  return paths;
}

class SetupApiRemoval : public ::testing::TestWithParam<OsProfile> {
 protected:
  SetupApiRemoval() {
    nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
    EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.failure;
    if (loaded.driver != nullptr) machine.pnp().setFunctionDriver(&loaded.driver->object);
  }

  bool win98() const { return GetParam() == OsProfile::Windows98; }

  nrv::UsbDevice& plug(const char* serial) {
    nrv::PrinterConfig config;
    config.usb.serialNumber = nrv::toUtf16(serial);
    return machine.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
  }

  nrv::DeviceNode* node(const nrv::UsbDevice& usb) { return machine.pnp().find(usb.pdo()); }

  // The printer's LPTENUM child, given the printer class as installing its
  // printer driver does: Class on both systems, ClassGUID on Windows 2000,
  // and a driver key of that class.
  std::u16string installedChild(const nrv::UsbDevice& usb) {
    EXPECT_EQ(node(usb)->children.size(), 1u);
    std::u16string child = node(usb)->children.front()->instancePath;
    std::u16string key = nrv::Registry::instanceKeyPath(GetParam(), child);
    machine.registry().setString(key, u"Class", u"Printer");
    if (!win98()) machine.registry().setString(key, u"ClassGUID", u"{4D36E979-E325-11CE-BFC1-08002BE10318}");
    machine.registry().driverKeyPath(GetParam(), child);
    return child;
  }

  std::vector<std::u16string> devicesIn(HDEVINFO set) { return devicesOf(process, set); }

  std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) return "(no key)";
    char value[516] = {};
    DWORD size = sizeof(value);
    DWORD type = REG_SZ;
    LSTATUS status =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? value : "(no value)";
  }

  bool instanceKeyExists(const std::u16string& instancePath) {
    return machine.registry().keyExists(nrv::Registry::instanceKeyPath(GetParam(), instancePath));
  }

  std::vector<UCHAR> minorsSentTo(PDEVICE_OBJECT pdo, size_t from) {
    std::vector<UCHAR> minors;
    std::vector<nrv::PnpRequestRecord> requests = machine.pnp().requests();
    for (size_t index = from; index < requests.size(); index++) {
      if (requests[index].target == pdo) minors.push_back(requests[index].minor);
    }
    return minors;
  }

  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& process = machine.startProcess("uninstaller");
  nrv::ProcessScope scope{process};
};

INSTANTIATE_TEST_SUITE_P(BothProfiles, SetupApiRemoval,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const auto& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

TEST_P(SetupApiRemoval, ThePrinterClassListsTheChildrenAttachedOrNot) {
  nrv::UsbDevice& first = plug("SN1");
  nrv::UsbDevice& second = plug("SN2");
  std::u16string firstChild = installedChild(first);
  std::u16string secondChild = installedChild(second);
  machine.usb().unplug(second);
  // A printer the registry remembers from another port, never attached on this run.
  std::u16string remembered = u"LPTENUM\\OTHERMODEL1234\\LPT1";
  machine.registry().setString(nrv::Registry::instanceKeyPath(GetParam(), remembered), u"Class", u"Printer");
  if (!win98()) {
    machine.registry().setString(nrv::Registry::instanceKeyPath(GetParam(), remembered), u"ClassGUID",
                                 u"{4d36e979-e325-11ce-bfc1-08002be10318}");
  }

  HDEVINFO all = SetupDiGetClassDevsA(&GUID_DEVCLASS_PRINTER, nullptr, nullptr, 0);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  // In the registry's order: by device ID, then by instance.
  std::vector<std::u16string> expected{firstChild, secondChild, remembered};
  std::sort(expected.begin(), expected.end(),
            [](const std::u16string& a, const std::u16string& b) { return a.compare(b) < 0; });
  EXPECT_EQ(devicesIn(all), expected);

  SP_DEVINFO_DATA device = deviceRecord();
  std::vector<std::string> ports;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(all, index, &device); index++) {
    EXPECT_EQ(memcmp(&device.ClassGuid, &GUID_DEVCLASS_PRINTER, sizeof(GUID)), 0);
    ports.push_back(portNameOf(all, device));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  // The driver wrote each child's port name in its device key; the remembered one has none.
  EXPECT_EQ(std::count(ports.begin(), ports.end(), "NRVUSB001:"), 1);
  EXPECT_EQ(std::count(ports.begin(), ports.end(), "NRVUSB002:"), 1);

  HDEVINFO present = SetupDiGetClassDevsA(&GUID_DEVCLASS_PRINTER, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_NE(present, INVALID_HANDLE_VALUE);
  EXPECT_EQ(devicesIn(present), std::vector<std::u16string>{firstChild});
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(present));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));

  HDEVINFO usbClass = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_EQ(devicesIn(usbClass).size(), 1u) << "the printer attached; its child is of the printer class";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(usbClass));
}

TEST_P(SetupApiRemoval, HardwareIdsAreAMultiStringWithTheRevisionFirst) {
  nrv::UsbDevice& usb = plug("SN1");
  std::optional<nrv::RegistryValue> stored =
      machine.registry().value(nrv::Registry::instanceKeyPath(GetParam(), usb.instancePath()), u"HardwareID");
  ASSERT_TRUE(stored);
  if (win98()) {
    EXPECT_EQ(stored->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(nrv::registryStringText(stored->bytes),
              u"USB\\VID_0A5F&PID_0027&REV_0100,USB\\VID_0A5F&PID_0027");
  } else {
    EXPECT_EQ(stored->type, static_cast<ULONG>(REG_MULTI_SZ));
  }

  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));

  DWORD type = kUntouched;
  DWORD required = kUntouched;
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, kHardwareIdsSize);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));

  std::vector<BYTE> buffer(kHardwareIdsSize + 4, 0x55);
  required = kUntouched;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                                 kHardwareIdsSize - 1, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, kHardwareIdsSize);
  EXPECT_EQ(buffer[0], 0x55) << "nothing written to a short buffer";

  EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                                kHardwareIdsSize, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(memcmp(buffer.data(), kHardwareIds, kHardwareIdsSize), 0);
  EXPECT_EQ(buffer[kHardwareIdsSize], 0x55) << "not a byte past the list";
  // The clean-up routines keep the first 21 characters: vendor and product.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 21), "USB\\VID_0A5F&PID_0027");

  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_COMPATIBLEIDS, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "the hub gave none";
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, nullptr, 8, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "a size without a buffer";
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_MAXIMUM_PROPERTY, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(INVALID_HANDLE_VALUE, &device, SPDRP_HARDWAREID, &type,
                                                 nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  device.cbSize = 0;
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// The child's one hardware ID, and IDs written in the ANSI code page from the registry's UTF-16.
TEST_P(SetupApiRemoval, TheChildsHardwareIdIsItsDeviceId) {
  nrv::UsbDevice& usb = plug("SN1");
  installedChild(usb);
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PRINTER, nullptr, nullptr, DIGCF_PRESENT);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  char buffer[256];
  DWORD required = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<PBYTE>(buffer), sizeof(buffer), &required));
  std::string first(buffer);
  EXPECT_EQ(first.rfind("LPTENUM\\NRVUSB Printer 1", 0), 0u) << first;
  EXPECT_EQ(required, first.size() + 2) << "one ID, then the closing NUL";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_P(SetupApiRemoval, AnAttachedPrinterIsRemovedThroughPlugAndPlayThenItsKeysGo) {
  nrv::UsbDevice& usb = plug("SN1");
  std::u16string child = node(usb)->children.front()->instancePath;
  PDEVICE_OBJECT childPdo = node(usb)->children.front()->pdo;
  std::optional<std::u16string> driverKey =
      machine.registry().installedDriverKeyPath(GetParam(), usb.instancePath());
  ASSERT_TRUE(driverKey) << "the driver read its options";
  size_t requestsBefore = machine.pnp().requests().size();

  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_TRUE(SetupDiRemoveDevice(set, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));

  EXPECT_EQ(minorsSentTo(usb.pdo(), requestsBefore),
            (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(minorsSentTo(childPdo, requestsBefore),
            (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(node(usb), nullptr);
  EXPECT_FALSE(instanceKeyExists(usb.instancePath()));
  EXPECT_FALSE(machine.registry().keyExists(*driverKey));
  EXPECT_TRUE(instanceKeyExists(child)) << "a child's keys stay, as those of a device not present";
  HDEVINFO after = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  EXPECT_TRUE(devicesIn(after).empty()) << "its interface registration went too";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(after));

  // The set keeps its entry, whose keys are gone; removing it again finds no device.
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
  EXPECT_FALSE(SetupDiRemoveDevice(set, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  DWORD required = kUntouched;
  EXPECT_FALSE(
      SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  EXPECT_EQ(required, kUntouched);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  // The printer is still plugged in, without a node, until its cable is pulled.
  std::vector<nrv::UsbDevice*> onBus = machine.usb().devices();
  EXPECT_NE(std::find(onBus.begin(), onBus.end(), &usb), onBus.end());
  machine.usb().unplug(usb);
  EXPECT_TRUE(machine.usb().devices().empty());
}

TEST_P(SetupApiRemoval, AnOpenHandleVetoesTheRemovalAndEverythingStays) {
  nrv::UsbDevice& usb = plug("SN1");
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(interfaceData);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kPrinterInterface, 0, &interfaceData));
  std::vector<char> buffer(512);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(*detail);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, 512, nullptr, &device));
  HANDLE file = CreateFileA(detail->DevicePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  size_t requestsBefore = machine.pnp().requests().size();

  EXPECT_FALSE(SetupDiRemoveDevice(set, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_REMOVE_DEVINST));
  EXPECT_TRUE(minorsSentTo(usb.pdo(), requestsBefore).empty());
  ASSERT_NE(node(usb), nullptr);
  EXPECT_EQ(node(usb)->state, nrv::DeviceNodeState::Started);
  EXPECT_EQ(node(usb)->children.size(), 1u);
  EXPECT_TRUE(instanceKeyExists(usb.instancePath()));
  EXPECT_EQ(portNameOf(set, device), "NRVUSB001:");
  HDEVINFO present =
      SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(devicesIn(present).size(), 1u);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(present));

  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(SetupDiRemoveDevice(set, &device)) << "once the handle is closed";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_P(SetupApiRemoval, APrinterNotAttachedOnlyLosesItsKeys) {
  nrv::UsbDevice& usb = plug("SN1");
  std::u16string instancePath = usb.instancePath();
  machine.usb().unplug(usb);
  size_t requestsBefore = machine.pnp().requests().size();

  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(portNameOf(set, device), "NRVUSB001:");
  EXPECT_TRUE(SetupDiRemoveDevice(set, &device));
  EXPECT_EQ(machine.pnp().requests().size(), requestsBefore) << "no request for a device that is not there";
  EXPECT_FALSE(instanceKeyExists(instancePath));
  EXPECT_EQ(portNameOf(set, device), "(no key)");
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  EXPECT_TRUE(devicesIn(set).empty());
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  // Plugged in again, it is a new device with a new node and keys; its port name is the lowest free one.
  nrv::UsbDevice& again = plug("SN1");
  EXPECT_NE(node(again), nullptr);
  EXPECT_TRUE(instanceKeyExists(instancePath));
}

// As the clean-up routines remove a printer's child: found by its port name
// in the printer class, its driver key deleted on Windows 98, then removed.
TEST_P(SetupApiRemoval, TheChildOfAnAttachedPrinterIsRemovedAndReportedAgainLater) {
  nrv::UsbDevice& usb = plug("SN1");
  std::u16string child = installedChild(usb);
  std::optional<std::u16string> childDriverKey = machine.registry().installedDriverKeyPath(GetParam(), child);
  ASSERT_TRUE(childDriverKey);

  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PRINTER, nullptr, nullptr, 0);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  ASSERT_EQ(portNameOf(set, device), "NRVUSB001:");
  EXPECT_TRUE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV));
  EXPECT_FALSE(machine.registry().keyExists(*childDriverKey));
  EXPECT_FALSE(machine.registry().value(nrv::Registry::instanceKeyPath(GetParam(), child), u"Driver"));
  EXPECT_TRUE(SetupDiRemoveDevice(set, &device));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

  EXPECT_TRUE(node(usb)->children.empty());
  EXPECT_EQ(node(usb)->state, nrv::DeviceNodeState::Started) << "the printer itself runs on";
  EXPECT_FALSE(instanceKeyExists(child));
  // Its parent still reports it: the next enumeration finds it again, as a new device node.
  machine.pnp().enumerate(*node(usb));
  ASSERT_EQ(node(usb)->children.size(), 1u);
  EXPECT_EQ(node(usb)->children.front()->instancePath, child);
  EXPECT_TRUE(instanceKeyExists(child));
}

TEST_P(SetupApiRemoval, DeletingADevicesKeys) {
  nrv::UsbDevice& usb = plug("SN1");
  std::u16string instanceKey = nrv::Registry::instanceKeyPath(GetParam(), usb.instancePath());
  std::optional<std::u16string> driverKey =
      machine.registry().installedDriverKeyPath(GetParam(), usb.instancePath());
  ASSERT_TRUE(driverKey);
  machine.registry().setString(*driverKey + u"\\Sub", u"Value", u"below the driver key");
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));

  EXPECT_FALSE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, 0x10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_FALSE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_CONFIGGENERAL, 0, DIREG_DRV));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_TRUE(machine.registry().keyExists(*driverKey)) << "nothing deleted by a refused call";

  EXPECT_TRUE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(machine.registry().keyExists(*driverKey));
  EXPECT_FALSE(machine.registry().value(instanceKey, u"Driver"));
  EXPECT_TRUE(machine.registry().keyExists(instanceKey));
  EXPECT_FALSE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));

  if (!win98()) {
    std::u16string deviceKey = nrv::Registry::deviceKeyPath(GetParam(), usb.instancePath());
    ASSERT_TRUE(machine.registry().keyExists(deviceKey));
    EXPECT_TRUE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV));
    EXPECT_FALSE(machine.registry().keyExists(deviceKey));
    EXPECT_TRUE(machine.registry().keyExists(instanceKey));
    EXPECT_FALSE(SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_BOTH));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// A removal flow written as the clean-up routines write theirs, with every
// user-mode allocation in turn failing: each device still goes, and nothing
// is left open or allocated when the program ends.
class SetupApiRemovalFaults : public ::testing::TestWithParam<OsProfile> {};

INSTANTIATE_TEST_SUITE_P(BothProfiles, SetupApiRemovalFaults,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const auto& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

TEST_P(SetupApiRemovalFaults, RemovalWhileAllocationsFail) {
  for (uint64_t nth = 1;; nth++) {
    nrv::Machine faulty{nrv::MachineOptions{GetParam()}};
    nrv::DriverLoadResult loaded = faulty.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
    faulty.pnp().setFunctionDriver(&loaded.driver->object);
    for (const char* serial : {"SN1", "SN2"}) {
      nrv::PrinterConfig config;
      config.usb.serialNumber = nrv::toUtf16(serial);
      faulty.usb().plug(std::make_unique<nrv::SimulatedPrinter>(config));
    }
    faulty.usb().unplug(*faulty.usb().devices().back());
    nrv::Process& program = faulty.startProcess("uninstaller");
    std::vector<std::string> hardwareIds;
    bool setRefused = false;
    bool failed = false;
    {
      nrv::ProcessScope programScope(program);
      nrv::FaultInjector& faults = faulty.faults();
      faults.failNth(nrv::FaultKind::UserAllocation, faults.requests(nrv::FaultKind::UserAllocation) + nth);
      HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
      if (set == INVALID_HANDLE_VALUE) {
        // The set itself is the program's memory.
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        setRefused = true;
      } else {
        SP_DEVINFO_DATA device = deviceRecord();
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); index++) {
          DWORD required = 0;
          SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required);
          auto* ids = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, required));
          if (ids != nullptr) {
            EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                                          reinterpret_cast<PBYTE>(ids), required, nullptr));
            hardwareIds.emplace_back(ids);
            LocalFree(ids);
          }
          EXPECT_TRUE(SetupDiRemoveDevice(set, &device)) << "device " << index << ", allocation " << nth;
        }
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
      }
      failed = faults.failures() > 0;
      faults.clear();
      set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
      EXPECT_EQ(devicesOf(program, set).empty(), !setRefused) << "allocation " << nth;
      SetupDiDestroyDeviceInfoList(set);
    }
    program.end();
    if (!failed) {
      EXPECT_EQ(hardwareIds.size(), 2u);
      EXPECT_GT(nth, 1u) << "the sweep met at least one allocation";
      break;
    }
    // Either the set could not be made and nothing was removed, or one
    // device's ID list could not be read and both devices went all the same.
    EXPECT_EQ(hardwareIds.size(), setRefused ? 0u : 1u) << "allocation " << nth;
  }
}

// Where Windows 98 keeps the device tree, as the clean-up routines find it
// through the registry routines: Enum\USB\<vendor and product>\<instance>,
// Enum\LPTENUM\<model>\<port>, and the class keys under Services\Class.
TEST(Windows98Tree, TheCleanUpRoutinesFindTheDeviceTreeWhereWindows98KeepsIt) {
  nrv::Machine machine{nrv::MachineOptions{OsProfile::Windows98}};
  nrv::DriverLoadResult loaded = machine.modules().loadDriver(NRVUSB_MODULE, "NRVUSB");
  machine.pnp().setFunctionDriver(&loaded.driver->object);
  nrv::UsbDevice& usb = machine.usb().plugPrinter();
  nrv::ProcessScope scope(machine.startProcess("installer"));

  HKEY usbKey = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_0A5F&PID_0027\\NRV0001", &usbKey), ERROR_SUCCESS);
  char text[256] = {};
  DWORD size = sizeof(text);
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(usbKey, "Driver", nullptr, &type, reinterpret_cast<LPBYTE>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "USB\\0000");
  RegCloseKey(usbKey);
  HKEY classKey = nullptr;
  ASSERT_EQ(
      RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\USB\\0000", &classKey),
      ERROR_SUCCESS);
  RegCloseKey(classKey);

  // The child's instance is named by its port, under its model's key.
  HKEY lptEnum = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Enum\\LPTENUM", &lptEnum), ERROR_SUCCESS);
  char model[256] = {};
  ASSERT_EQ(RegEnumKeyA(lptEnum, 0, model, sizeof(model)), ERROR_SUCCESS);
  EXPECT_EQ(std::string(model).rfind("NRVUSB_Printer_1", 0), 0u) << model;
  HKEY modelKey = nullptr;
  ASSERT_EQ(RegOpenKeyA(lptEnum, model, &modelKey), ERROR_SUCCESS);
  char instance[516] = {};
  ASSERT_EQ(RegEnumKeyA(modelKey, 0, instance, sizeof(instance)), ERROR_SUCCESS);
  EXPECT_STREQ(instance, "NRVUSB001:");
  // Deleting the instance takes its subkeys along on Windows 98.
  machine.registry().setString(
      nrv::Registry::instanceKeyPath(OsProfile::Windows98,
                                     u"LPTENUM\\" + nrv::toUtf16(model) + u"\\NRVUSB001:") +
          u"\\LogConfig",
      u"Value", u"1");
  EXPECT_EQ(RegDeleteKeyA(modelKey, instance), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(modelKey, 0, instance, sizeof(instance)), static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS));
  RegCloseKey(modelKey);
  RegCloseKey(lptEnum);

  // Once the device is removed, its vendor-and-product key has no instance left and may go.
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_TRUE(SetupDiRemoveDevice(set, &device));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  HKEY productKey = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_0A5F&PID_0027", 0, KEY_ALL_ACCESS, &productKey),
            ERROR_SUCCESS);
  DWORD subkeys = kUntouched;
  ASSERT_EQ(RegQueryInfoKeyA(productKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  RegCloseKey(productKey);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_0A5F&PID_0027"), ERROR_SUCCESS);
  EXPECT_FALSE(machine.registry().keyExists(
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\USB\\0000"));
  machine.usb().unplug(usb);
}

// A function driver that refuses to let its device go.
struct VetoingFdo {
  PDEVICE_OBJECT lower;
};

NTSTATUS vetoingPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<VetoingFdo*>(fdo->DeviceExtension)->lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_REMOVE_DEVICE) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS vetoingAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(VetoingFdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<VetoingFdo*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS vetoingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = vetoingPnp;
  driver->DriverExtension->AddDevice = vetoingAddDevice;
  return STATUS_SUCCESS;
}

TEST(SetupApiRemovalVeto, AVetoedQueryRemoveIsCancelledAndLeavesTheDeviceAndItsKeys) {
  nrv::Machine machine;
  machine.pnp().setFunctionDriver(&machine.modules().startDriver(vetoingDriverEntry, "VETO").driver->object);
  nrv::UsbDevice& usb = machine.usb().plugPrinter();
  std::u16string instanceKey = nrv::Registry::instanceKeyPath(OsProfile::Windows2000, usb.instancePath());
  nrv::Process& process = machine.startProcess("uninstaller");
  nrv::ProcessScope scope(process);
  size_t requestsBefore = machine.pnp().requests().size();

  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, DIGCF_PRESENT);
  ASSERT_EQ(devicesOf(process, set), std::vector<std::u16string>{usb.instancePath()});
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_FALSE(SetupDiRemoveDevice(set, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_REMOVE_DEVINST));
  std::vector<UCHAR> minors;
  std::vector<nrv::PnpRequestRecord> requests = machine.pnp().requests();
  for (size_t index = requestsBefore; index < requests.size(); index++)
    minors.push_back(requests[index].minor);
  EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
  ASSERT_NE(machine.pnp().find(usb.pdo()), nullptr);
  EXPECT_EQ(machine.pnp().find(usb.pdo())->state, nrv::DeviceNodeState::Started);
  EXPECT_TRUE(machine.registry().keyExists(instanceKey));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

using SetupApiRemovalDeathTest = platform_test::DeathTest;

TEST_F(SetupApiRemovalDeathTest, WhatTheMachineDoesNotImplementStopsIt) {
  EXPECT_DEATH(
      {
        nrv::Machine machine{nrv::MachineOptions{OsProfile::Windows98}};
        nrv::UsbDevice& usb = machine.usb().plugPrinter();
        nrv::ProcessScope scope(machine.startProcess("setup"));
        HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, 0);
        SP_DEVINFO_DATA device = deviceRecord();
        SetupDiEnumDeviceInfo(set, 0, &device);
        SetupDiDeleteDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV);
        (void)usb;
      },
      "STOP: NOT_IMPLEMENTED.*SetupDiDeleteDevRegKey: deleting the device key of a Windows 98 device node");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.usb().plugPrinter();
        nrv::ProcessScope scope(machine.startProcess("setup"));
        HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_USB, nullptr, nullptr, 0);
        SP_DEVINFO_DATA device = deviceRecord();
        SetupDiEnumDeviceInfo(set, 0, &device);
        SetupDiGetDeviceRegistryPropertyA(set, &device, 0x0C, nullptr, nullptr, 0, nullptr);
      },
      "STOP: NOT_IMPLEMENTED.*SetupDiGetDeviceRegistryPropertyA: the device property 12");
}

}  // namespace
