// setupapi on the machine: interface sets come from the registry's record of
// every registration, so unplugged devices stay listed unless only present
// ones are asked for; the detail record follows its size protocol; device
// and driver keys are the ones the driver reaches; and every record and
// handle a program passes is checked as the native library checks it.
#include <gtest/gtest.h>
#include <setupapi.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "death_test.h"
#include "kernel/registry.h"
#include "machine/machine.h"
#include "user/registry_keys.h"

namespace {

using nrv::OsProfile;

const GUID kPrinterInterface = {0x762bb1b6, 0x5164, 0x11d1, {0xb0, 0x0b, 0x00, 0xc0, 0xd1, 0x57, 0x0f, 0x9e}};
const GUID kOtherInterface = {0x6f1c0a52, 0x3d7e, 0x4b19, {0x9a, 0x41, 0x0c, 0x5e, 0x72, 0xd8, 0x13, 0xb6}};
const GUID kUsbSetupClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

constexpr char16_t kFirst[] = u"USB\\VID_0A5F&PID_0027\\NRV0001";
constexpr char16_t kSecond[] = u"USB\\VID_0A5F&PID_0027\\NRV0002";
constexpr char kFirstPath[] = "\\\\?\\usb#vid_0a5f&pid_0027#nrv0001#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";
constexpr char kSecondPath[] = "\\\\?\\usb#vid_0a5f&pid_0027#nrv0002#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";
constexpr DWORD kUntouched = 0xDDDDDDDD;

// A device of the machine's bus that registers a printer interface, as the driver does at AddDevice.
struct RegisteredDevice {
  RegisteredDevice(nrv::Machine& machine, const char16_t* instancePath,
                   const GUID& interfaceClass = kPrinterInterface, const char16_t* reference = nullptr)
      : physical(machine.plugPhysicalDevice(instancePath)) {
    UNICODE_STRING referenceString{};
    std::u16string referenceText = reference != nullptr ? reference : u"";
    nrv::setUnicodeString(referenceString, referenceText);
    EXPECT_EQ(IoRegisterDeviceInterface(physical.object(), &interfaceClass,
                                        reference != nullptr ? &referenceString : nullptr, &link),
              STATUS_SUCCESS);
  }
  ~RegisteredDevice() { RtlFreeUnicodeString(&link); }
  void enable(bool on) { EXPECT_EQ(IoSetDeviceInterfaceState(&link, on ? TRUE : FALSE), STATUS_SUCCESS); }

  nrv::PhysicalDevice& physical;
  UNICODE_STRING link{};
};

SP_DEVINFO_DATA deviceRecord() {
  SP_DEVINFO_DATA data;
  memset(&data, 0xDD, sizeof(data));
  data.cbSize = sizeof(data);
  return data;
}

SP_DEVICE_INTERFACE_DATA interfaceRecord() {
  SP_DEVICE_INTERFACE_DATA data;
  memset(&data, 0xDD, sizeof(data));
  data.cbSize = sizeof(data);
  return data;
}

// The Win32 path of each interface of the class in the set, in order, with its active flag.
std::vector<std::pair<std::string, bool>> pathsIn(HDEVINFO set,
                                                  const GUID& interfaceClass = kPrinterInterface) {
  std::vector<std::pair<std::string, bool>> paths;
  SP_DEVICE_INTERFACE_DATA data = interfaceRecord();
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data); index++) {
    std::vector<char> buffer(512);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(*detail);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<DWORD>(buffer.size()),
                                                 nullptr, nullptr));
    paths.emplace_back(detail->DevicePath, (data.Flags & SPINT_ACTIVE) != 0);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  return paths;
}

class SetupApi : public ::testing::TestWithParam<OsProfile> {
 protected:
  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& process = machine.startProcess("setup");
  nrv::ProcessScope scope{process};
};

INSTANTIATE_TEST_SUITE_P(BothProfiles, SetupApi,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const auto& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

TEST_P(SetupApi, TheRegistryKeepsEveryInterfaceRegistration) {
  RegisteredDevice printer(machine, kFirst);
  RegisteredDevice withReference(machine, kSecond, kPrinterInterface, u"Pipe1");
  std::u16string classKey =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\{762bb1b6-5164-11d1-b00b-"
      u"00c0d1570f9e}";
  std::u16string first =
      classKey + u"\\##?#USB#VID_0A5F&PID_0027#NRV0001#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";
  EXPECT_EQ(machine.registry().stringValue(first, u"DeviceInstance"), kFirst);
  EXPECT_EQ(machine.registry().stringValue(first + u"\\#", u"SymbolicLink"),
            u"\\\\?\\USB#VID_0A5F&PID_0027#NRV0001#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}");
  std::u16string second =
      classKey + u"\\##?#USB#VID_0A5F&PID_0027#NRV0002#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}";
  EXPECT_EQ(machine.registry().stringValue(second + u"\\#Pipe1", u"SymbolicLink"),
            u"\\\\?\\USB#VID_0A5F&PID_0027#NRV0002#{762bb1b6-5164-11d1-b00b-00c0d1570f9e}\\Pipe1");
}

TEST_P(SetupApi, AllDevicesOfTheClassOrOnlyThePresentOnes) {
  RegisteredDevice unplugged(machine, kSecond);
  RegisteredDevice attached(machine, kFirst);
  RegisteredDevice other(machine, u"USB\\VID_1234&PID_0001\\X", kOtherInterface);
  attached.enable(true);
  other.enable(true);
  unplugged.enable(true);
  unplugged.enable(false);  // its driver's removal disabled it

  HDEVINFO all = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  // In the registry's order of the interface keys, which is by name.
  EXPECT_EQ(pathsIn(all),
            (std::vector<std::pair<std::string, bool>>{{kFirstPath, true}, {kSecondPath, false}}));
  EXPECT_TRUE(pathsIn(all, kOtherInterface).empty()) << "only the class the set was made for";

  HDEVINFO present =
      SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(present, INVALID_HANDLE_VALUE);
  EXPECT_EQ(pathsIn(present), (std::vector<std::pair<std::string, bool>>{{kFirstPath, true}}));

  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 1, &device));
  EXPECT_EQ(device.DevInst, 2u);
  if (GetParam() == OsProfile::Windows2000) {
    EXPECT_EQ(memcmp(&device.ClassGuid, &kUsbSetupClass, sizeof(GUID)), 0);
  }
  EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 2, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // A set is what was found when it was made: the device attached since is not in it.
  unplugged.enable(true);
  EXPECT_EQ(pathsIn(present).size(), 1u);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(present));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_P(SetupApi, AClassNobodyRegisteredGivesAnEmptySet) {
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA device = deviceRecord();
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_P(SetupApi, InterfacesOfOneDevice) {
  RegisteredDevice first(machine, kFirst);
  RegisteredDevice second(machine, kSecond);
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &device));
  SP_DEVICE_INTERFACE_DATA data = interfaceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &device, &kPrinterInterface, 0, &data));
  EXPECT_EQ(data.Flags, 0u) << "registered, never enabled";
  EXPECT_EQ(memcmp(&data.InterfaceClassGuid, &kPrinterInterface, sizeof(GUID)), 0);
  SP_DEVINFO_DATA owner = deviceRecord();
  DWORD required = kUntouched;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, &owner));
  EXPECT_EQ(owner.Reserved, device.Reserved) << "the interface belongs to the device asked about";
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &device, &kPrinterInterface, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// The detail record's documented protocol: ask for the size, then fetch.
TEST_P(SetupApi, InterfaceDetailSizeProtocol) {
  RegisteredDevice printer(machine, kFirst);
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data = interfaceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kPrinterInterface, 0, &data));

  DWORD required = kUntouched;
  SP_DEVINFO_DATA device = deviceRecord();
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const DWORD expected =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(kFirstPath) + 1);
  EXPECT_EQ(required, expected);
  EXPECT_EQ(device.DevInst, 1u) << "described although the path did not fit";

  std::vector<char> buffer(expected + 8, '\x55');
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
  detail->cbSize = sizeof(*detail);
  required = kUntouched;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected - 1, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, expected);
  EXPECT_EQ(buffer[offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)], '\x55') << "nothing written";

  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected, nullptr, nullptr));
  EXPECT_STREQ(detail->DevicePath, kFirstPath);
  EXPECT_EQ(buffer[expected], '\x55') << "not a byte past the size given";

  // The size field holds the fixed part's size, never the buffer's; the host's own sizeof.
  for (DWORD wrong : {0u, 5u, expected, static_cast<DWORD>(sizeof(*detail) + 1)}) {
    if (wrong == sizeof(*detail)) continue;
    detail->cbSize = wrong;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected, nullptr, nullptr)) << wrong;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << wrong;
  }
  detail->cbSize = sizeof(*detail);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, expected, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "a size without a buffer";
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, 4, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "smaller than the fixed part";
  device.cbSize = 28;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expected, nullptr, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "the 32-bit size on the host";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_P(SetupApi, RecordsAreCheckedAsTheLibraryChecksThem) {
  RegisteredDevice printer(machine, kFirst);
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  HDEVINFO otherSet = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  SP_DEVICE_INTERFACE_DATA data = interfaceRecord();

  EXPECT_FALSE(SetupDiEnumDeviceInfo(nullptr, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(INVALID_HANDLE_VALUE, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  device.cbSize = 28;  // the 32-bit size: wrong on the host
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  device.cbSize = sizeof(device);

  data.cbSize = sizeof(data) - 4;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kPrinterInterface, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof(data);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // A record of another set, or one the program made up, names nothing here.
  ASSERT_TRUE(SetupDiEnumDeviceInfo(otherSet, 0, &device));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(otherSet, nullptr, &kPrinterInterface, 0, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &device, &kPrinterInterface, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_EQ(SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE | 0x100),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(otherSet));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// What the driver keeps through IoOpenDeviceRegistryKey, setup programs find through SetupDiOpenDevRegKey.
TEST_P(SetupApi, DeviceAndDriverKeysAreTheDriversKeys) {
  RegisteredDevice printer(machine, kFirst);
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA device = deviceRecord();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));

  // Before the driver ever opened them, Windows 2000 has no device key and neither profile a driver key.
  if (GetParam() == OsProfile::Windows2000) {
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS),
              static_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
  }
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));

  for (auto [driverSide, userSide] :
       {std::pair{PLUGPLAY_REGKEY_DEVICE, DIREG_DEV}, {PLUGPLAY_REGKEY_DRIVER, DIREG_DRV}}) {
    HANDLE kernelKey = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(printer.physical.object(), driverSide, KEY_ALL_ACCESS, &kernelKey),
              STATUS_SUCCESS);
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, userSide, KEY_ALL_ACCESS);
    ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
    auto* handle = process.object<nrv::RegistryKeyHandle>(key);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->key(), machine.registry().keyOfHandle(kernelKey));
    EXPECT_EQ(ZwClose(kernelKey), STATUS_SUCCESS);
    process.removeHandle(key);  // as RegCloseKey does
  }

  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_BOTH, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_CONFIGGENERAL, 0, DIREG_DEV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  device.cbSize = 0;
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// The record outlives the device object: a device plugged again keeps its one entry.
TEST_P(SetupApi, ADevicePluggedAgainIsListedOnce) {
  RegisteredDevice first(machine, kFirst);
  first.enable(true);
  first.enable(false);
  RegisteredDevice again(machine, kFirst);
  again.enable(true);
  HDEVINFO set = SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(pathsIn(set), (std::vector<std::pair<std::string, bool>>{{kFirstPath, true}}));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

using SetupApiDeathTest = platform_test::DeathTest;

TEST_F(SetupApiDeathTest, WhatTheMachineDoesNotImplementStopsIt) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("setup"));
        SetupDiGetClassDevsA(&kUsbSetupClass, nullptr, nullptr, DIGCF_ALLCLASSES);
      },
      "STOP: NOT_IMPLEMENTED.*SetupDiGetClassDevsA: the flags 0x4 \\(all classes");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("setup"));
        SetupDiGetClassDevsA(&kPrinterInterface, "USB", nullptr, DIGCF_DEVICEINTERFACE);
      },
      "STOP: NOT_IMPLEMENTED.*SetupDiGetClassDevsA: sets limited to the enumerator 'USB'");
}

TEST_F(SetupApiDeathTest, ASetNeverDestroyedIsReportedWhenTheProgramEnds) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("uninstaller"));
        SetupDiGetClassDevsA(&kPrinterInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED.*process 'uninstaller'.*a device information set), opened by");
}

}  // namespace
