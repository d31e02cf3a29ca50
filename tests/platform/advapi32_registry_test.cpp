// advapi32's registry: keys opened and created from the predefined roots,
// values read and written in the ANSI code page over the kernel's UTF-16
// tree, and Windows' error codes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "death_test.h"
#include "machine/machine.h"

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
const char16_t* const kPorts = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Print\\Ports";

class RegistryCalls : public ::testing::Test {
 public:
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
};

TEST_F(RegistryCalls, OpenCreateAndCloseKeys) {
  HKEY ports = nullptr;
  // The spooler's Ports key comes with the system; without it the path is not found.
  ASSERT_TRUE(machine.registry().deleteTree(kPorts));
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Ports", &ports),
            ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(machine.registry().createKey(kPorts));
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\control\\print\\ports\\", &ports),
            ERROR_SUCCESS);
  HKEY port = nullptr;
  EXPECT_EQ(RegCreateKeyA(ports, "NRVUSB001", &port), ERROR_SUCCESS);
  EXPECT_TRUE(machine.registry().keyExists(std::u16string(kPorts) + u"\\NRVUSB001"));
  EXPECT_EQ(RegCloseKey(port), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyA(ports, "A\\B\\C", &port), ERROR_SUCCESS) << "every missing key on the path";
  EXPECT_EQ(RegCloseKey(port), ERROR_SUCCESS);

  HKEY same = nullptr;
  EXPECT_EQ(RegOpenKeyA(ports, "", &same), ERROR_SUCCESS);
  EXPECT_EQ(same, ports) << "RegOpenKeyA gives back the handle passed in";
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, nullptr, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyExA(ports, nullptr, 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
  EXPECT_NE(other, ports) << "RegOpenKeyExA opens a new handle";
  EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(ports), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS) << "closing a predefined key does nothing";
  EXPECT_EQ(process.openHandles(), 0u);
}

TEST_F(RegistryCalls, ErrorsAreWindowsCodesAndTheLastErrorIsLeftAlone) {
  ASSERT_TRUE(machine.registry().createKey(kPorts));
  SetLastError(kSentinel);
  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegOpenKeyA(reinterpret_cast<HKEY>(0x4444), "x", &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 1, KEY_READ, &key), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "\\System", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "System\\\\X", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "NewRootKey", &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, reinterpret_cast<HKEY>(0x1234)) << "untouched on failure";
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(RegCloseKey(static_cast<HKEY>(event)), ERROR_INVALID_HANDLE) << "an event is no key";
  EXPECT_TRUE(CloseHandle(event));
  SetLastError(kSentinel);  // CreateEventA set it
  // A key deleted under an open handle.
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Print\\Ports", &key),
            ERROR_SUCCESS);
  ASSERT_TRUE(machine.registry().deleteKey(kPorts));
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&size), 4),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetLastError(), kSentinel);
}

TEST_F(RegistryCalls, ValuesConvertBetweenTheCodePageAndUtf16) {
  std::u16string device = u"\\Registry\\Machine\\Enum\\USB\\VID_0A5F&PID_0027\\1\\Device Parameters";
  // The driver writes its strings without a NUL; the kernel stores them as given.
  ASSERT_TRUE(
      machine.registry().setValue(device, u"PortName", REG_SZ, {'N', 0, 'R', 0, 'V', 0, '1', 0, ':', 0}));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum\\USB\\VID_0A5F&PID_0027\\1\\Device Parameters", 0,
                          KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  char buffer[64] = {};
  DWORD type = kSentinel;
  DWORD size = sizeof(buffer);
  EXPECT_EQ(RegQueryValueExA(key, "portname", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(buffer, "NRV1:");

  // A buffer too small gets nothing but the size; no buffer gets the size.
  char small[3] = {'x', 'x', 'x'};
  size = sizeof(small);
  EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(small[0], 'x');
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(RegQueryValueExA(key, "DeviceID", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExA(key, "PortName", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
            ERROR_INVALID_PARAMETER);

  // Written from a Japanese program: stored as UTF-16, read back as code page 932.
  machine.locale().setLcid(0x0411);
  const char katakana[] = "\xCE\xDF\x82\xA0";  // half-width "ho", "(handakuten)", hiragana "a"
  EXPECT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(katakana), sizeof(katakana)),
            ERROR_SUCCESS);
  EXPECT_EQ(machine.registry().stringValue(device, u"Text"), std::u16string(u"\uFF8E\uFF9F\u3042"));
  size = sizeof(buffer);
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(katakana));
  EXPECT_EQ(std::memcmp(buffer, katakana, sizeof(katakana)), 0);

  // Other types go byte for byte; a NULL name is the key's default value.
  BYTE generation = 0;
  EXPECT_EQ(RegSetValueExA(key, nullptr, 0, REG_BINARY, &generation, 1), ERROR_SUCCESS);
  EXPECT_EQ(machine.registry().value(device, u"")->bytes, std::vector<uint8_t>{0});
  EXPECT_EQ(RegSetValueExA(key, "x", 0, REG_BINARY, nullptr, 1), ERROR_NOACCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Subkeys and values are enumerated by index until ERROR_NO_MORE_ITEMS, with
// their names and data in the code page; a key's counts and longest names
// and data come back as the program would size its buffers.
TEST_F(RegistryCalls, EnumerateAndQueryAKey) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Test", &key), ERROR_SUCCESS);
  HKEY sub = nullptr;
  for (const char* name : {"Alpha", "Be"}) {
    ASSERT_EQ(RegCreateKeyA(key, name, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("text"), 5), ERROR_SUCCESS);
  DWORD number = 7;
  ASSERT_EQ(RegSetValueExA(key, "LongerName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);

  std::vector<std::string> subkeys;
  char name[32];
  for (DWORD index = 0;; index++) {
    LSTATUS status = RegEnumKeyA(key, index, name, sizeof(name));
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    subkeys.push_back(name);
  }
  std::sort(subkeys.begin(), subkeys.end());
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "Be"}));
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 2), ERROR_MORE_DATA);

  std::vector<std::string> values;
  for (DWORD index = 0;; index++) {
    DWORD nameSize = sizeof(name);
    DWORD type = 0;
    BYTE data[16];
    DWORD dataSize = sizeof(data);
    LSTATUS status = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(nameSize, std::strlen(name));
    values.push_back(name);
    if (type == REG_SZ) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataSize), std::string("text", 5));
    }
  }
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"LongerName", "Name"}));
  DWORD small = 3;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &small, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  DWORD subkeyCount = 0, longestSubkey = 0, valueCount = 0, longestName = 0, longestData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeyCount, &longestSubkey, nullptr,
                             &valueCount, &longestName, &longestData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeyCount, 2u);
  EXPECT_EQ(longestSubkey, 5u);
  EXPECT_EQ(valueCount, 2u);
  EXPECT_EQ(longestName, 10u);
  EXPECT_EQ(longestData, 5u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  HKEY defaultUser = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, ".DEFAULT", 0, KEY_READ, &defaultUser), ERROR_SUCCESS);
  RegCloseKey(defaultUser);
}

// Windows 98 deletes a key with everything below it; Windows 2000 only a key
// without subkeys.
TEST(RegistryDeletion, KeysAsEachSystemDeletesThemAndValues) {
  for (nrv::OsProfile profile : {nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000}) {
    nrv::Machine machine{nrv::MachineOptions{profile}};
    nrv::ProcessScope scope{machine.startProcess("program")};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree\\Branch\\Leaf", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    LSTATUS tree = RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree");
    if (profile == nrv::OsProfile::Windows98) {
      EXPECT_EQ(tree, ERROR_SUCCESS);
      EXPECT_FALSE(machine.registry().keyExists(u"\\Registry\\Machine\\Software\\Tree"));
    } else {
      EXPECT_EQ(tree, ERROR_ACCESS_DENIED);
      EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Tree\\Branch\\Leaf"), ERROR_SUCCESS);
      EXPECT_TRUE(machine.registry().keyExists(u"\\Registry\\Machine\\Software\\Tree\\Branch"));
    }
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Missing"), ERROR_FILE_NOT_FOUND);
  }
}

using RegistryCallsDeathTest = platform_test::DeathTest;

TEST_F(RegistryCallsDeathTest, AKeyLeftOpenIsReportedWhenTheProcessEnds) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("leaky"));
        HKEY key;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Norvo", &key);
      },
      "STOP: PROCESS_HANDLES_NOT_CLOSED.*a registry key, \\\\Registry\\\\Machine\\\\Software\\\\Norvo\\), "
      "opened by platform_tests");
}

}  // namespace
