// version.dll on the machine's files: the version resources of the host images
// that stand for NRVUSB.SYS and NRVUSBMN.DLL, read as the installer reads them;
// the values VerQueryValueA answers and the ones it does not; the errors for
// files that hold no version resource, cannot be read or are damaged.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "host_image.h"
#include "machine/machine.h"
#include "rc_parser.h"
#include "user/file_system.h"

namespace {

using nrv::OsProfile;

constexpr DWORD kUntouched = 0x55555555;
constexpr const char* kProductVersion = "\\StringFileInfo\\040904B0\\ProductVersion";

std::vector<uint8_t> hostFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> imageOf(const std::string& script) {
  return rc::buildHostImage(rc::readResourceScript(script), rc::ImageKind::Dll);
}

class VersionFileInfo : public ::testing::TestWithParam<OsProfile> {
 public:
  std::string systemFile(const char* name) { return machine.files().systemDirectory() + "\\" + name; }
  std::string put(const char* name, std::vector<uint8_t> bytes) {
    std::string path = systemFile(name);
    machine.files().putFile(path, std::move(bytes));
    return path;
  }

  // The installer's three steps; the value's text and length, or why there is none.
  struct Read {
    DWORD sizeError = NO_ERROR;
    DWORD size = 0;
    bool queried = false;
    std::string text;
    UINT length = 0;
  };
  Read read(const std::string& path, const char* value = kProductVersion) {
    Read result;
    DWORD handle = kUntouched;
    SetLastError(kUntouched);
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    result.size = size;
    EXPECT_EQ(handle, 0u) << "the handle is set to 0 whatever the outcome";
    if (size == 0) {
      result.sizeError = GetLastError();
      EXPECT_FALSE(GetFileVersionInfoA(path.c_str(), 0, 64, buffer)) << "the size and the read agree";
      EXPECT_EQ(GetLastError(), result.sizeError);
      return result;
    }
    auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, size + 1));
    EXPECT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, block));
    void* text = nullptr;
    result.queried = VerQueryValueA(block, value, &text, &result.length);
    if (result.queried) result.text = static_cast<const char*>(text);
    LocalFree(block);
    return result;
  }

  nrv::Machine machine{nrv::MachineOptions{GetParam()}};
  nrv::Process& process = machine.startProcess("setup");
  nrv::ProcessScope scope{process};
  char buffer[64] = {};
};

TEST_P(VersionFileInfo, TheDeliverablesProductVersions) {
  for (auto [name, host] :
       {std::pair{"NRVUSB.SYS", NRVUSB_HOST_IMAGE}, std::pair{"NRVUSBMN.DLL", NRVUSBMN_HOST_IMAGE}}) {
    Read read = this->read(put(name, hostFile(host)));
    EXPECT_TRUE(read.queried) << name;
    EXPECT_EQ(read.text, "3.00.220") << name;
    EXPECT_EQ(read.length, 9u) << name << ": characters with the NUL";
  }
}

// A file the machine also loads as a module keeps its own bytes: the version comes from those.
TEST_P(VersionFileInfo, AFilePlayedByAModuleReadsAsItsBytes) {
  std::string image = put("NRVUSB.SYS", hostFile(NRVUSB_HOST_IMAGE));
  machine.files().setHostModule(image, NRVUSB_MODULE);
  EXPECT_EQ(read(image).text, "3.00.220");
  ASSERT_TRUE(machine.files().putModuleFile(systemFile("ELF.SYS"), NRVUSB_MODULE));
  EXPECT_EQ(read(systemFile("ELF.SYS")).sizeError, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT))
      << "a host module's own file is no PE image";
}

TEST_P(VersionFileInfo, WhatVerQueryValueAnswers) {
  std::string path = put("NRVUSBMN.DLL", hostFile(NRVUSBMN_HOST_IMAGE));
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_NE(size, 0u);
  auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, size));
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block));
  void* value = nullptr;
  UINT length = kUntouched;

  ASSERT_TRUE(VerQueryValueA(block, "\\", &value, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, static_cast<DWORD>(VS_FFI_SIGNATURE));
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00030000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00DC0000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  ASSERT_TRUE(VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &length));
  ASSERT_EQ(length, 4u);
  WORD translation[2];
  std::memcpy(translation, value, sizeof(translation));
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);

  ASSERT_TRUE(VerQueryValueA(block, "\\stringfileinfo\\040904b0\\FILEDESCRIPTION", &value, &length))
      << "keys compare without regard to case";
  EXPECT_STREQ(static_cast<const char*>(value), "Norvo USB Printer Port Monitor");
  EXPECT_EQ(length, 31u);
  void* again = nullptr;
  ASSERT_TRUE(VerQueryValueA(block, "\\StringFileInfo\\040904B0\\FileDescription", &again, &length));
  EXPECT_EQ(again, value) << "a value asked for twice stands in one place";
  ASSERT_TRUE(VerQueryValueA(block, "\\StringFileInfo\\040904B0\\ProductVersion", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(again), "Norvo USB Printer Port Monitor")
      << "and others do not overwrite it";

  length = kUntouched;
  value = &length;
  for (const char* missing :
       {"\\StringFileInfo\\040904B0\\CompanyName", "\\StringFileInfo\\041104B0\\ProductVersion",
        "\\VarFileInfo\\Translation\\More", "\\Nothing"}) {
    EXPECT_FALSE(VerQueryValueA(block, missing, &value, &length)) << missing;
  }
  EXPECT_EQ(length, kUntouched) << "a failed query writes nothing";
  EXPECT_EQ(value, &length);
  LocalFree(block);
}

TEST_P(VersionFileInfo, ABlockNotFilledWholeAnswersNothing) {
  std::string path = put("NRVUSB.SYS", hostFile(NRVUSB_HOST_IMAGE));
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_NE(size, 0u);
  auto* block = static_cast<char*>(LocalAlloc(LPTR, size));
  void* value = nullptr;
  UINT length = 0;
  EXPECT_FALSE(VerQueryValueA(block, kProductVersion, &value, &length)) << "never filled";
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size - 1, block)) << "a short buffer takes what fits";
  EXPECT_FALSE(VerQueryValueA(block, kProductVersion, &value, &length));
  EXPECT_FALSE(VerQueryValueA(block, "\\", &value, &length));
  LocalFree(block);
}

// Texts come in the system's ANSI code page, double-byte on a Japanese system, and still fit the block.
TEST_P(VersionFileInfo, TextsInTheAnsiCodePage) {
  std::string path =
      put("JAPAN.DLL", imageOf("1 VERSIONINFO { BLOCK \"StringFileInfo\" { BLOCK \"040904B0\" {\n"
                               " VALUE \"Comments\", L\"\\x30C6\\x30B9\\x30C8\\x30C6\\x30B9\\x30C8\"\n"
                               " VALUE \"Empty\", \"\" } } }"));
  machine.locale().setLcid(0x0411);
  Read read = this->read(path, "\\StringFileInfo\\040904B0\\Comments");
  EXPECT_EQ(read.text, "\x83\x65\x83\x58\x83\x67\x83\x65\x83\x58\x83\x67");
  EXPECT_EQ(read.length, 13u);
  machine.locale().setLcid(0x0409);
  read = this->read(path, "\\StringFileInfo\\040904B0\\Comments");
  EXPECT_EQ(read.text, "??????") << "characters code page 1252 lacks";
  read = this->read(path, "\\StringFileInfo\\040904B0\\Empty");
  EXPECT_TRUE(read.queried);
  EXPECT_EQ(read.text, "");
  EXPECT_EQ(read.length, 1u);
}

TEST_P(VersionFileInfo, FilesWithoutAVersionToRead) {
  std::vector<uint8_t> image = hostFile(NRVUSB_HOST_IMAGE);
  std::vector<uint8_t> noResources = image;
  std::memset(&noResources[0x40 + 24 + 96 + 16], 0, 8);  // the resource directory entry
  std::string folder = machine.files().systemDirectory();
  struct Case {
    std::string path;
    DWORD error;
  } cases[] = {
      {folder + "\\MISSING.SYS", ERROR_FILE_NOT_FOUND},
      {folder + "\\NOFOLDER\\NRVUSB.SYS", ERROR_PATH_NOT_FOUND},
      {put("TEXT.SYS", std::vector<uint8_t>{'M', 'Z', 'h', 'i'}), ERROR_BAD_EXE_FORMAT},
      {put("EMPTY.SYS", {}), ERROR_BAD_EXE_FORMAT},
      {put("NORSRC.SYS", noResources), ERROR_RESOURCE_DATA_NOT_FOUND},
      {put("STRINGS.DLL", imageOf("STRINGTABLE { 1 \"one\" }")), ERROR_RESOURCE_TYPE_NOT_FOUND},
      {put("OTHER.DLL", imageOf("2 VERSIONINFO { }")), ERROR_RESOURCE_NAME_NOT_FOUND},
      {put("CUT.SYS", std::vector<uint8_t>(image.begin(), image.begin() + 0x200 + 40)), ERROR_BAD_EXE_FORMAT},
      {put("HEADERS.SYS", std::vector<uint8_t>(image.begin(), image.begin() + 0x100)), ERROR_BAD_EXE_FORMAT},
  };
  for (const Case& each : cases) EXPECT_EQ(read(each.path).sizeError, each.error) << each.path;
  EXPECT_EQ(read("").sizeError, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_P(VersionFileInfo, AFileOpenWithoutReadSharing) {
  std::string path = put("NRVUSB.SYS", hostFile(NRVUSB_HOST_IMAGE));
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(read(path).sizeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(file);
  file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(read(path).text, "3.00.220") << "one that shares reading does not stand in the way";
  CloseHandle(file);
}

// Damage anywhere in an image: every call returns, and a value that comes back lies in the block.
TEST_P(VersionFileInfo, RandomDamageNeverStopsTheMachine) {
  std::vector<uint8_t> image = hostFile(NRVUSBMN_HOST_IMAGE);
  std::mt19937 random(20261209);
  int answered = 0;
  for (int round = 0; round < 400; round++) {
    std::vector<uint8_t> damaged = image;
    int changes = 1 + static_cast<int>(random() % 8);
    for (int change = 0; change < changes; change++) {
      // Half the changes fall on the headers and directories, where a wrong byte matters most.
      size_t limit = random() % 2 == 0 ? 0x200 + 0x200 : damaged.size();
      damaged[random() % limit] = static_cast<uint8_t>(random());
    }
    if (round % 5 == 0) damaged.resize(random() % damaged.size());
    Read read = this->read(put("DAMAGED.DLL", damaged));
    if (read.queried) {
      answered++;
      EXPECT_LT(read.length, read.size);
    }
  }
  EXPECT_GT(answered, 0) << "some damage leaves the product version readable";
}

// Damage to a filled block (its length word aside, which says how far the block
// reaches): every query returns, and what it answers lies in the block.
TEST_P(VersionFileInfo, QueriesOfADamagedBlockStayInIt) {
  std::string path = put("NRVUSBMN.DLL", hostFile(NRVUSBMN_HOST_IMAGE));
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_NE(size, 0u);
  std::vector<uint8_t> filled(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, filled.data()));
  uint16_t length;
  std::memcpy(&length, filled.data(), sizeof(length));
  std::mt19937 random(1209);
  for (int round = 0; round < 400; round++) {
    std::vector<uint8_t> block = filled;
    for (int change = 0; change < 1 + round % 6; change++) {
      block[2 + random() % (length - 2)] = static_cast<uint8_t>(random());
    }
    for (const char* query :
         {kProductVersion, "\\", "\\VarFileInfo\\Translation", "StringFileInfo\\040904B0"}) {
      void* value = nullptr;
      UINT answered = 0;
      if (!VerQueryValueA(block.data(), query, &value, &answered)) continue;
      auto* at = static_cast<uint8_t*>(value);
      EXPECT_TRUE(at >= block.data() && at + answered <= block.data() + block.size()) << query;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Profiles, VersionFileInfo,
                         ::testing::Values(OsProfile::Windows98, OsProfile::Windows2000),
                         [](const ::testing::TestParamInfo<OsProfile>& info) {
                           return info.param == OsProfile::Windows98 ? std::string("Windows98")
                                                                     : std::string("Windows2000");
                         });

}  // namespace
