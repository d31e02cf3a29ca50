// The registry: names ignore case but keep it, values come back byte for byte,
// the kernel's information layouts and buffer-size answers are the documented
// ones, device and driver keys sit where each OS profile keeps them, and the
// verifier catches handles that are misused or left open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/text.h"
#include "death_test.h"
#include "machine/machine.h"
#include "test_stack.h"

namespace {

using nrv::OsProfile;
using nrv::Registry;

constexpr char16_t kPrinter[] = u"USB\\VID_0A5F&PID_0027\\1234";
constexpr char16_t kSecondPrinter[] = u"USB\\VID_0A5F&PID_0027\\5678";
constexpr uint8_t kUntouched = 0xEE;
constexpr size_t kGuardBytes = 16;
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);

std::vector<uint8_t> bytesOf(std::u16string_view text, bool withNul) {
  std::vector<uint8_t> bytes((text.size() + (withNul ? 1 : 0)) * sizeof(char16_t), 0);
  if (!text.empty()) memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
  return bytes;
}

// A kernel key handle that is closed when the test is done with it.
struct KeyHandle {
  HANDLE handle = nullptr;
  ~KeyHandle() {
    if (handle != nullptr) {
      EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
  }
};

NTSTATUS openDeviceKey(PDEVICE_OBJECT device, ULONG type, KeyHandle& key) {
  return IoOpenDeviceRegistryKey(device, type, KEY_ALL_ACCESS, &key.handle);
}

// What ZwQueryValueKey left in a buffer of exactly `length` bytes; the bytes
// after it must stay untouched.
struct Query {
  NTSTATUS status;
  ULONG resultLength = 0;
  std::vector<uint8_t> buffer;
};

Query query(HANDLE key, std::u16string name, KEY_VALUE_INFORMATION_CLASS type, ULONG length) {
  Query result;
  result.buffer.assign(length + kGuardBytes, kUntouched);
  UNICODE_STRING counted;
  nrv::setUnicodeString(counted, name);
  result.status = ZwQueryValueKey(key, &counted, type, result.buffer.data(), length, &result.resultLength);
  for (size_t index = length; index < result.buffer.size(); index++) {
    EXPECT_EQ(result.buffer[index], kUntouched) << "written past the buffer at " << index;
  }
  return result;
}

NTSTATUS setValue(HANDLE key, std::u16string name, ULONG type, const std::vector<uint8_t>& data) {
  UNICODE_STRING counted;
  nrv::setUnicodeString(counted, name);
  return ZwSetValueKey(key, &counted, 0, type, const_cast<uint8_t*>(data.data()), static_cast<ULONG>(data.size()));
}

class RegistryTest : public ::testing::Test {
 protected:
  nrv::Machine machine;
  Registry& registry = machine.registry();
};

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheCaseFirstWritten) {
  const std::u16string ports = u"\\Registry\\Machine\\Software\\Nrv\\Ports";
  ASSERT_TRUE(registry.createKey(ports));
  EXPECT_TRUE(registry.keyExists(u"\\REGISTRY\\machine\\SOFTWARE\\nrv\\pORTS"));
  registry.setString(ports, u"PortName", u"USB001");
  registry.setString(u"\\registry\\machine\\software\\NRV\\ports", u"PORTNAME", u"USB002");

  std::vector<nrv::NamedRegistryValue> values = registry.values(ports);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, u"PortName");
  EXPECT_EQ(registry.stringValue(ports, u"portname"), u"USB002");

  for (const char16_t* name : {u"beta", u"GAMMA", u"Alpha"}) registry.createKey(ports + u"\\" + name);
  EXPECT_EQ(registry.subkeys(ports), (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA"}));
  EXPECT_EQ(registry.subkeys(u"\\Registry\\Machine\\Software"), std::vector<std::u16string>{u"Nrv"});
}

TEST_F(RegistryTest, ValuesKeepTheirBytesExactly) {
  const std::u16string key = u"\\Registry\\Machine\\Software\\Nrv";
  const std::vector<uint8_t> binary = {0x00, 0x01, 0x00, 0xFF, 0x7F};
  registry.setValue(key, u"Raw", REG_BINARY, binary);
  registry.setString(key, u"Text", u"USB001");
  registry.setDword(key, u"Timeout", 48000);
  registry.setMultiString(key, u"Ids", {u"A", u"BC"});

  EXPECT_EQ(registry.value(key, u"Raw"), (nrv::RegistryValue{REG_BINARY, binary}));
  EXPECT_EQ(registry.value(key, u"Text")->bytes, bytesOf(u"USB001", true));
  EXPECT_EQ(registry.dwordValue(key, u"Timeout"), 48000u);
  EXPECT_EQ(registry.value(key, u"Ids")->bytes, bytesOf(std::u16string(u"A\0BC\0", 5), true));
  // A string read stops at the first NUL, and only string types read as text.
  EXPECT_EQ(registry.stringValue(key, u"Raw"), std::nullopt);
  registry.setValue(key, u"Unterminated", REG_SZ, bytesOf(u"LPT", false));
  EXPECT_EQ(registry.stringValue(key, u"Unterminated"), u"LPT");
  EXPECT_EQ(registry.value(key, u"Missing"), std::nullopt);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  const std::u16string top = u"\\Registry\\Machine\\Software\\Nrv";
  registry.setString(top + u"\\Ports\\USB001", u"Device", u"x");
  registry.setString(top, u"Version", u"1");

  EXPECT_FALSE(registry.deleteKey(top)) << "a key with subkeys is not a leaf";
  EXPECT_TRUE(registry.deleteValue(top, u"VERSION"));
  EXPECT_FALSE(registry.deleteValue(top, u"Version"));
  EXPECT_TRUE(registry.deleteKey(top + u"\\Ports\\USB001"));
  EXPECT_TRUE(registry.keyExists(top + u"\\Ports"));
  registry.createKey(top + u"\\Ports\\USB002");
  EXPECT_TRUE(registry.deleteTree(top));
  EXPECT_FALSE(registry.keyExists(top + u"\\Ports\\USB002"));
  EXPECT_FALSE(registry.deleteTree(top));

  // Paths are absolute and every name in them has a character at least.
  EXPECT_FALSE(registry.createKey(u"Registry\\Machine\\Software"));
  EXPECT_FALSE(registry.setString(u"\\Registry\\\\Machine", u"Name", u"x"));
  EXPECT_FALSE(registry.keyExists(u"\\Registry\\Machine\\"));
}

TEST_F(RegistryTest, FullInformationLayoutAndBufferSizes) {
  nrv::PhysicalDevice& printer = machine.plugPhysicalDevice(kPrinter);
  KeyHandle key;
  ASSERT_EQ(openDeviceKey(printer.object(), PLUGPLAY_REGKEY_DEVICE, key), STATUS_SUCCESS);
  registry.setString(Registry::deviceKeyPath(machine.profile(), kPrinter), u"Ports", u"USB001");

  // 20 bytes of header, 10 of name, data aligned to 32, 14 bytes of data.
  constexpr ULONG kHeader = 20;
  constexpr ULONG kDataOffset = 32;
  constexpr ULONG kNeeded = kDataOffset + 14;
  Query exact = query(key.handle, u"PORTS", KeyValueFullInformation, kNeeded);
  ASSERT_EQ(exact.status, STATUS_SUCCESS);
  EXPECT_EQ(exact.resultLength, kNeeded);
  auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(exact.buffer.data());
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(info->DataOffset, kDataOffset);
  EXPECT_EQ(info->DataLength, 14u);
  EXPECT_EQ(info->NameLength, 10u);
  EXPECT_EQ(std::vector<uint8_t>(exact.buffer.begin() + kHeader, exact.buffer.begin() + kHeader + 10),
            bytesOf(u"Ports", false))
      << "the name comes back as stored, without a NUL";
  EXPECT_EQ(std::vector<uint8_t>(exact.buffer.begin() + kDataOffset, exact.buffer.begin() + kNeeded),
            bytesOf(u"USB001", true));

  Query headerOnly = query(key.handle, u"Ports", KeyValueFullInformation, kHeader);
  EXPECT_EQ(headerOnly.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(headerOnly.resultLength, kNeeded);
  info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(headerOnly.buffer.data());
  EXPECT_EQ(info->DataLength, 14u);
  EXPECT_EQ(info->NameLength, 10u);

  Query tooSmall = query(key.handle, u"Ports", KeyValueFullInformation, kHeader - 1);
  EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.resultLength, kNeeded);
  EXPECT_EQ(tooSmall.buffer, std::vector<uint8_t>(kHeader - 1 + kGuardBytes, kUntouched));

  ULONG needed = 0;
  UNICODE_STRING name;
  std::u16string text = u"Ports";
  nrv::setUnicodeString(name, text);
  EXPECT_EQ(ZwQueryValueKey(key.handle, &name, KeyValueFullInformation, nullptr, 0, &needed),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, kNeeded) << "asking for the size first, as drivers do";
  EXPECT_EQ(query(key.handle, u"Absent", KeyValueFullInformation, 64).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, PartialInformationAndKernelWrites) {
  nrv::PhysicalDevice& printer = machine.plugPhysicalDevice(kPrinter);
  KeyHandle key;
  ASSERT_EQ(openDeviceKey(printer.object(), PLUGPLAY_REGKEY_DEVICE, key), STATUS_SUCCESS);
  // Exactly the bytes given are kept: a string written without its NUL stays so.
  ASSERT_EQ(setValue(key.handle, u"PortName", REG_SZ, bytesOf(u"USB001", false)), STATUS_SUCCESS);
  const std::u16string deviceKey = Registry::deviceKeyPath(machine.profile(), kPrinter);
  EXPECT_EQ(registry.value(deviceKey, u"portname"), (nrv::RegistryValue{REG_SZ, bytesOf(u"USB001", false)}));

  constexpr ULONG kHeader = 12;
  Query exact = query(key.handle, u"PortName", KeyValuePartialInformation, kHeader + 12);
  ASSERT_EQ(exact.status, STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(exact.buffer.data());
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(info->DataLength, 12u);
  EXPECT_EQ(memcmp(info->Data, u"USB001", 12), 0);
  EXPECT_EQ(query(key.handle, u"PortName", KeyValuePartialInformation, kHeader).status, STATUS_BUFFER_OVERFLOW);
  Query tooSmall = query(key.handle, u"PortName", KeyValuePartialInformation, kHeader - 1);
  EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(tooSmall.resultLength, kHeader + 12);

  // A key deleted under an open handle answers as deleted, and the handle still closes.
  ASSERT_TRUE(registry.deleteTree(Registry::instanceKeyPath(machine.profile(), kPrinter)));
  EXPECT_EQ(query(key.handle, u"PortName", KeyValuePartialInformation, 64).status, kStatusKeyDeleted);
  EXPECT_EQ(setValue(key.handle, u"PortName", REG_DWORD, {1, 0, 0, 0}), kStatusKeyDeleted);
}

class DeviceKeys : public ::testing::TestWithParam<OsProfile> {
 protected:
  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  Registry& registry = machine.registry();
  bool win98 = GetParam() == OsProfile::Windows98;
};

TEST_P(DeviceKeys, SitWhereTheProfileKeepsThem) {
  nrv::PhysicalDevice& printer = machine.plugPhysicalDevice(kPrinter, u"NRV Printer");
  const std::u16string instance = win98 ? u"\\Registry\\Machine\\Enum\\USB\\VID_0A5F&PID_0027\\1234"
                                        : u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\"
                                          u"VID_0A5F&PID_0027\\1234";
  EXPECT_EQ(Registry::instanceKeyPath(GetParam(), kPrinter), instance);
  EXPECT_EQ(registry.stringValue(instance, u"DeviceDesc"), u"NRV Printer");
  EXPECT_EQ(Registry::deviceKeyPath(GetParam(), kPrinter), win98 ? instance : instance + u"\\Device Parameters");

  // The kernel and the C++ side reach the same keys.
  KeyHandle device;
  ASSERT_EQ(openDeviceKey(printer.object(), PLUGPLAY_REGKEY_DEVICE, device), STATUS_SUCCESS);
  ASSERT_EQ(setValue(device.handle, u"PortName", REG_SZ, bytesOf(u"USB001", true)), STATUS_SUCCESS);
  EXPECT_EQ(registry.stringValue(Registry::deviceKeyPath(GetParam(), kPrinter), u"PortName"), u"USB001");

  KeyHandle driver;
  ASSERT_EQ(openDeviceKey(printer.object(), PLUGPLAY_REGKEY_DRIVER, driver), STATUS_SUCCESS);
  const std::u16string driverKey =
      win98 ? u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\USB\\0000"
            : u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
              u"{36fc9e60-c465-11cf-8056-444553540000}\\0000";
  EXPECT_EQ(registry.driverKeyPath(GetParam(), kPrinter), driverKey);
  EXPECT_EQ(registry.stringValue(instance, u"Driver"),
            win98 ? u"USB\\0000" : u"{36fc9e60-c465-11cf-8056-444553540000}\\0000");
  registry.setDword(driverKey, u"Timeout", 7);
  Query timeout = query(driver.handle, u"Timeout", KeyValuePartialInformation, 16);
  ASSERT_EQ(timeout.status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(timeout.buffer.data())->Data[0], 7);
}

TEST_P(DeviceKeys, EachDeviceGetsTheNextFreeDriverIndex) {
  nrv::PhysicalDevice& first = machine.plugPhysicalDevice(kPrinter);
  nrv::PhysicalDevice& second = machine.plugPhysicalDevice(kSecondPrinter);
  {
    KeyHandle key;
    ASSERT_EQ(openDeviceKey(second.object(), PLUGPLAY_REGKEY_DRIVER, key), STATUS_SUCCESS);
  }
  KeyHandle key;
  ASSERT_EQ(openDeviceKey(first.object(), PLUGPLAY_REGKEY_DRIVER, key), STATUS_SUCCESS);
  const std::u16string prefix = win98 ? u"USB\\" : u"{36fc9e60-c465-11cf-8056-444553540000}\\";
  EXPECT_EQ(registry.stringValue(Registry::instanceKeyPath(GetParam(), kSecondPrinter), u"Driver"),
            prefix + u"0000");
  EXPECT_EQ(registry.stringValue(Registry::instanceKeyPath(GetParam(), kPrinter), u"Driver"), prefix + u"0001");
  // Once assigned, the index stays with the device.
  EXPECT_EQ(registry.driverKeyPath(GetParam(), kSecondPrinter), registry.driverKeyPath(GetParam(), kSecondPrinter));
  EXPECT_NE(registry.driverKeyPath(GetParam(), kPrinter), registry.driverKeyPath(GetParam(), kSecondPrinter));
  // A Driver value an installer wrote is followed as it is.
  const char16_t third[] = u"USB\\VID_0A5F&PID_0027\\9ABC";
  registry.setString(Registry::instanceKeyPath(GetParam(), third), u"Driver", prefix + u"0007");
  std::u16string preset = registry.driverKeyPath(GetParam(), third);
  EXPECT_TRUE(preset.ends_with(u"\\Class\\" + prefix + u"0007")) << nrv::toUtf8(preset);
}

INSTANTIATE_TEST_SUITE_P(Profiles, DeviceKeys, ::testing::Values(OsProfile::Windows2000, OsProfile::Windows98),
                         [](const ::testing::TestParamInfo<OsProfile>& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

TEST_F(RegistryTest, DeviceKeyRefusals) {
  platform_test::TestStack stack(machine, 1);
  KeyHandle key;
  EXPECT_EQ(openDeviceKey(stack.top(), PLUGPLAY_REGKEY_DEVICE, key), STATUS_INVALID_DEVICE_REQUEST)
      << "only a physical device has device keys";
  PDEVICE_OBJECT physical = stack.physical().object();
  EXPECT_EQ(openDeviceKey(physical, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, key), STATUS_INVALID_PARAMETER);

  machine.faults().failTag(nrv::kRegistryKeyTag);
  EXPECT_EQ(openDeviceKey(physical, PLUGPLAY_REGKEY_DEVICE, key), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(key.handle, nullptr);
  machine.faults().clear();
  EXPECT_EQ(openDeviceKey(physical, PLUGPLAY_REGKEY_DEVICE, key), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- the verifier

using RegistryDeathTest = platform_test::DeathTest;

PDEVICE_OBJECT printerForLeakyDriver = nullptr;

NTSTATUS keyLeakingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  HANDLE key;
  return IoOpenDeviceRegistryKey(printerForLeakyDriver, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
}

TEST_F(RegistryDeathTest, KeyLeftOpenIsReportedAtShutdownWithItsOpener) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        printerForLeakyDriver = machine.plugPhysicalDevice(kPrinter).object();
        machine.modules().startDriver(keyLeakingEntry, "KEYLEAK");
      },
      "STOP: KERNEL_HANDLES_NOT_CLOSED.*key \\\\Registry\\\\Machine\\\\System\\\\CurrentControlSet\\\\Enum\\\\USB\\\\"
      "VID_0A5F&PID_0027\\\\1234\\\\Device Parameters .*opened by KEYLEAK from platform_tests!.*keyLeakingEntry");
}

TEST_F(RegistryDeathTest, StaleHandlesStopTheMachine) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        HANDLE key;
        IoOpenDeviceRegistryKey(machine.plugPhysicalDevice(kPrinter).object(), PLUGPLAY_REGKEY_DRIVER, KEY_READ,
                                &key);
        ZwClose(key);
        ZwClose(key);
      },
      "STOP: INVALID_KERNEL_HANDLE.*ZwClose\\(0x[0-9a-f]+\\) from platform_tests!.*StaleHandles.*closed already");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        std::vector<uint8_t> data(4);
        setValue(reinterpret_cast<HANDLE>(0x1234), u"Value", REG_DWORD, data);
      },
      "STOP: INVALID_KERNEL_HANDLE.*ZwSetValueKey\\(0x1234\\)");
}

}  // namespace

// A device whose Driver value is damaged has no driver key to open or delete:
// the value never reaches above its own "<class>\<index>" key.
TEST_F(RegistryTest, ADriverValueNamesOneKeyBelowItsClassOrNone) {
  const std::u16string node = u"USB\\VID_0A5F&PID_0027\\NRV0001";
  std::u16string instanceKey = Registry::instanceKeyPath(nrv::OsProfile::Windows2000, node);
  for (const char16_t* driver :
       {u"", u"{36fc9e60-c465-11cf-8056-444553540000}", u"\\0000", u"USB\\", u"USB\\0000\\x"}) {
    registry.setString(instanceKey, u"Driver", driver);
    EXPECT_FALSE(registry.installedDriverKeyPath(nrv::OsProfile::Windows2000, node).has_value())
        << nrv::toUtf8(driver);
  }
  registry.setString(instanceKey, u"Driver", u"{36fc9e60-c465-11cf-8056-444553540000}\\0003");
  EXPECT_EQ(registry.installedDriverKeyPath(nrv::OsProfile::Windows2000, node),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
            u"{36fc9e60-c465-11cf-8056-444553540000}\\0003");
}
