// LoadStringA on the machine: a module's own string table, compiled from its
// resource script, read in the language the system's loader picks and handed
// out in the system's ANSI code page, cut without splitting a character.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "death_test.h"
#include "machine/machine.h"

namespace {

using nrv::OsProfile;

constexpr char kUntouched = '\x5A';

class StringResources : public ::testing::TestWithParam<OsProfile> {
 protected:
  void SetUp() override {
    std::string failure;
    module = process.loadModule(TEST_DLL_MODULE, &failure);
    ASSERT_NE(module, nullptr) << failure;
  }
  void TearDown() override { process.end(); }

  // The string as LoadStringA hands it out into a buffer of `size` characters,
  // with the bytes it returned; the last error is kUntouchedError unless it was set.
  std::string load(UINT id, int size = 256, int* length = nullptr) {
    std::string buffer(static_cast<size_t>(size) + 8, kUntouched);
    SetLastError(kUntouchedError);
    int copied = LoadStringA(module->instance, id, buffer.data(), size);
    if (length != nullptr) *length = copied;
    EXPECT_EQ(buffer[static_cast<size_t>(size)], kUntouched) << "written past the buffer";
    return copied == 0 && buffer[0] == kUntouched ? std::string("(untouched)") : std::string(buffer.c_str());
  }

  static constexpr DWORD kUntouchedError = 0xDEAD;
  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
  nrv::UserModule* module = nullptr;
};

INSTANTIATE_TEST_SUITE_P(BothProfiles, StringResources,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const auto& info) {
                           return info.param == OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

TEST_P(StringResources, TextsOfTheModulesOwnScript) {
  int length = -1;
  EXPECT_EQ(load(1, 256, &length), "Test DLL");
  EXPECT_EQ(length, 8);
  EXPECT_EQ(GetLastError(), kUntouchedError) << "success leaves the last error alone";
  EXPECT_EQ(load(2), "Tab\there, \"quoted\", back\\slash");
  EXPECT_EQ(load(3), "Joined text");
  EXPECT_EQ(load(5), "caf\xE9") << "a byte escape read in code page 1252";
}

TEST_P(StringResources, CutToTheBufferWithItsNul) {
  int length = -1;
  EXPECT_EQ(load(1, 5, &length), "Test");
  EXPECT_EQ(length, 4);
  EXPECT_EQ(load(1, 1, &length), "");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(load(1, 9, &length), "Test DLL");
  EXPECT_EQ(length, 8);
}

TEST_P(StringResources, MissingStrings) {
  int length = -1;
  EXPECT_EQ(load(4, 256, &length), "") << "an empty slot of a block that exists";
  EXPECT_EQ(length, 0);
  EXPECT_EQ(GetLastError(), kUntouchedError);
  EXPECT_EQ(load(100, 256, &length), "(untouched)") << "a block that does not exist";
  EXPECT_EQ(length, 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(load(0x10001, 256, &length), "(untouched)") << "identifiers are 16 bits";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

// The Japanese texts in code page 932 once the system is Japanese, half-width katakana as single bytes.
TEST_P(StringResources, JapaneseInCodePage932AfterALocaleChange) {
  EXPECT_EQ(load(17), "USB????") << "code page 1252 has no katakana";
  machine.locale().setLcid(0x0411);
  EXPECT_EQ(load(17), "USB\xCE\xDF\xB0\xC4") << "from \\x escapes";
  const std::string notConnected =
      "USB\xCE\xDF\xB0\xC4\x82\xAA\x90\xDA\x91\xB1\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xDC\x82\xB9\x82\xF1";
  EXPECT_EQ(load(18), notConnected) << "from UTF-8 text";
  EXPECT_EQ(load(5), "caf?");
  // A double-byte character that does not fit whole is left out.
  int length = -1;
  EXPECT_EQ(load(18, 9, &length), "USB\xCE\xDF\xB0\xC4");
  EXPECT_EQ(length, 7);
  EXPECT_EQ(load(18, 10, &length), "USB\xCE\xDF\xB0\xC4\x82\xAA");
  EXPECT_EQ(length, 9);
}

// One block in several languages: the profile's order of preference.
TEST_P(StringResources, TheLanguageOfABlockIsChosenAsTheLoaderChoosesIt) {
  bool windows98 = GetParam() == OsProfile::Windows98;
  machine.locale().setLcid(0x0409);
  EXPECT_EQ(load(32), windows98 ? "Neutral, default sublanguage" : "U.S. English");
  machine.locale().setLcid(0x0411);
  EXPECT_EQ(load(32), windows98 ? "Neutral, default sublanguage" : "Japanese");
  EXPECT_EQ(load(80), "Neutral") << "the neutral language comes first everywhere";
  machine.locale().setLcid(0x040C);
  EXPECT_EQ(load(48), "British English") << "any English when neither the locale's nor U.S. English exists";
  EXPECT_EQ(load(64), "German") << "else the first";
  machine.locale().setLcid(0x0C0A);
  EXPECT_EQ(load(48), "Spanish");
}

TEST_P(StringResources, OnlyModulesOfTheCallingProcessAreSearched) {
  nrv::Process& other = machine.startProcess("other");
  char buffer[32];
  {
    nrv::ProcessScope otherScope(other);
    EXPECT_EQ(LoadStringA(module->instance, 1, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  }
  other.end();
}

TEST(ModuleResources, AModuleWhoseResourceSectionIsDamagedIsRefused) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope(process);
  std::string failure;
  EXPECT_EQ(process.loadModule(DAMAGED_DLL_MODULE, &failure), nullptr);
  EXPECT_EQ(failure, "its resource section is damaged: a directory's entries are cut short");
}

TEST(ModuleResources, AModuleWithoutResourcesHasNoStrings) {
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  {
    nrv::ProcessScope scope(process);
    nrv::UserModule* module = process.loadModule(TEST_MONITOR_MODULE, nullptr);
    ASSERT_NE(module, nullptr);
    char buffer[16];
    EXPECT_EQ(LoadStringA(module->instance, 1, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  }
  process.end();
}

using StringResourcesDeathTest = platform_test::DeathTest;

TEST_F(StringResourcesDeathTest, ABufferOfNoCharactersStopsTheMachine) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::Process& process = machine.startProcess("program");
        nrv::ProcessScope scope(process);
        nrv::UserModule* module = process.loadModule(TEST_DLL_MODULE, nullptr);
        char buffer[4];
        LoadStringA(module->instance, 1, buffer, 0);
      },
      "STOP: INVALID_PARAMETER.*LoadStringA from .*string 1 was asked for into a buffer of 0 characters");
}

}  // namespace
