// The clean-up routines that work on the registry alone: the recently used
// port list, the LPTENUM instance keys and the enumeration key of a printer
// model on Windows 98.
#include <windows.h>

#include "base/text.h"
#include "cleanup_machine.h"

namespace {

constexpr char16_t kMruKey[] =
    u"\\Registry\\User\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";
constexpr char kMruPath[] = ".DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\PrnPortsMRU";
constexpr char16_t kLptEnum[] = u"\\Registry\\Machine\\Enum\\LPTENUM";
constexpr char16_t kModelKey[] = u"\\Registry\\Machine\\Enum\\USB\\VID_0A5F&PID_0027";

std::vector<std::string> valueNames(nrv::Registry& registry, std::u16string_view key) {
  std::vector<std::string> names;
  for (const nrv::NamedRegistryValue& value : registry.values(key)) names.push_back(nrv::toUtf8(value.name));
  return names;
}

std::vector<std::string> subkeyNames(nrv::Registry& registry, std::u16string_view key) {
  std::vector<std::string> names;
  for (const std::u16string& name : registry.subkeys(key)) names.push_back(nrv::toUtf8(name));
  return names;
}

class PortMru : public ::testing::Test {
 protected:
  CleanupBench bench{nrv::OsProfile::Windows98, SetupVariant::Uninstaller};
  nrv::Registry& registry = bench.machine.registry();

  void list(const std::vector<std::pair<std::u16string, std::u16string>>& entries) {
    for (const auto& [name, port] : entries) registry.setString(kMruKey, name, port);
  }
  BOOLEAN remove(const char* port) { return bench.call<BOOLEAN>("RemovePortFromMru", kMruPath, port); }
};

TEST_F(PortMru, EveryValueNamingThePortGoesWhateverItsCaseAndPlace) {
  list({{u"a", u"USB001:"},
        {u"b", u"usb001:"},
        {u"c", u"USB002:"},
        {u"d", u"Usb001:"},
        {u"MRUList", u"abcd"}});
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(valueNames(registry, kMruKey), (std::vector<std::string>{"c", "MRUList"}));
}

TEST_F(PortMru, AValueTooLongForTheBuffersEndsTheScan) {
  list({{u"a", u"USB001:"}, {u"b", std::u16string(70, u'x')}, {u"c", u"USB001:"}});
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(valueNames(registry, kMruKey), (std::vector<std::string>{"b", "c"}));
}

TEST_F(PortMru, AValueThatCannotBeDeletedIsSteppedOver) {
  list({{u"a", u"USB001:"}, {u"b", u"USB001:"}});
  registry.denyProgramDeletion(kMruKey);
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(valueNames(registry, kMruKey), (std::vector<std::string>{"a", "b"}));
}

TEST_F(PortMru, AMissingListIsNoFailure) { EXPECT_EQ(remove("USB001:"), TRUE); }

class LptEnumKeys : public ::testing::Test {
 protected:
  CleanupBench bench{nrv::OsProfile::Windows98, SetupVariant::Installer};
  nrv::Registry& registry = bench.machine.registry();

  void instance(const std::u16string& device, const std::u16string& name) {
    registry.setString(std::u16string(kLptEnum) + u"\\" + device + u"\\" + name + u"\\Device Parameters",
                       u"PortName", name);
  }
  BOOLEAN remove(const char* port) { return bench.call<BOOLEAN>("RemoveLptEnumKeys", "Enum\\LPTENUM", port); }
};

TEST_F(LptEnumKeys, EveryInstanceOfThePortGoesWithItsSubkeysUnderEveryModel) {
  instance(u"NRVPRINTER1A2B3", u"USB001:");
  instance(u"NRVPRINTER1A2B3", u"USB002:");
  instance(u"OTHERMODEL0F0F", u"usb001:");
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(subkeyNames(registry, std::u16string(kLptEnum) + u"\\NRVPRINTER1A2B3"),
            (std::vector<std::string>{"USB002:"}));
  EXPECT_EQ(subkeyNames(registry, std::u16string(kLptEnum) + u"\\OTHERMODEL0F0F"),
            std::vector<std::string>{});
}

// Names are compared as prefixes: a hand-made port name that begins another
// port's name takes that port's keys too; the driver's names end in ':' and
// cannot.
TEST_F(LptEnumKeys, ComparesThePortNameAsAPrefix) {
  instance(u"MODEL", u"LPTX");
  instance(u"MODEL", u"LPTX2");
  instance(u"MODEL", u"USB001:");
  instance(u"MODEL", u"USB0011:");
  EXPECT_EQ(remove("LPTX"), TRUE);
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(subkeyNames(registry, std::u16string(kLptEnum) + u"\\MODEL"),
            (std::vector<std::string>{"USB0011:"}));
}

TEST_F(LptEnumKeys, AnInstanceThatCannotBeDeletedIsSteppedOverAndAMissingTreeIsNoFailure) {
  instance(u"MODEL", u"USB001:");
  instance(u"MODEL", u"USB001:copy");
  registry.denyProgramDeletion(std::u16string(kLptEnum) + u"\\MODEL\\USB001:\\Device Parameters");
  EXPECT_EQ(remove("USB001:"), TRUE);
  EXPECT_EQ(subkeyNames(registry, std::u16string(kLptEnum) + u"\\MODEL"),
            (std::vector<std::string>{"USB001:"}));
  registry.deleteTree(kLptEnum);
  EXPECT_EQ(remove("USB001:"), TRUE);
}

class ModelEnumKey : public ::testing::Test {
 protected:
  CleanupBench bench{nrv::OsProfile::Windows98, SetupVariant::Uninstaller};
  nrv::Registry& registry = bench.machine.registry();
  BOOLEAN remove(const char* hardwareId) { return bench.call<BOOLEAN>("RemoveEnumKey", nullptr, hardwareId); }
};

TEST_F(ModelEnumKey, StaysWhileAnotherInstanceOfTheModelIsListedAndGoesWithTheLast) {
  registry.createKey(std::u16string(kModelKey) + u"\\NRV0001");
  registry.createKey(std::u16string(kModelKey) + u"\\NRV0002");
  EXPECT_EQ(remove("USB\\VID_0A5F&PID_0027"), TRUE);
  EXPECT_TRUE(registry.keyExists(kModelKey));
  registry.deleteTree(std::u16string(kModelKey) + u"\\NRV0001");
  registry.deleteTree(std::u16string(kModelKey) + u"\\NRV0002");
  // Only the vendor and product part of a longer ID names the key.
  EXPECT_EQ(remove("USB\\VID_0A5F&PID_0027&REV_0100"), TRUE);
  EXPECT_FALSE(registry.keyExists(kModelKey));
  EXPECT_TRUE(registry.keyExists(u"\\Registry\\Machine\\Enum\\USB"));
}

TEST_F(ModelEnumKey, NoIdIsAFailureAndAnEmptyOneNamesNothing) {
  EXPECT_EQ(remove(nullptr), FALSE);
  registry.deleteTree(u"\\Registry\\Machine\\Enum");
  registry.createKey(u"\\Registry\\Machine\\Enum");
  EXPECT_EQ(remove(""), TRUE);
  EXPECT_TRUE(registry.keyExists(u"\\Registry\\Machine\\Enum"));
}

}  // namespace
