// The real Windows images of the cross build, read through the machine's
// version routines as the installer reads them, and their version resources
// set against those of the host images that stand for them.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "pe_image.h"
#include "user/file_system.h"

namespace {

std::vector<uint8_t> hostFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The bytes of the image's version resource, as the independent reader finds them.
std::vector<uint8_t> versionResourceOf(const std::vector<uint8_t>& bytes) {
  std::string error;
  std::optional<nrv::pe::PeImage> image = nrv::pe::PeImage::Parse(bytes, &error);
  EXPECT_TRUE(image.has_value()) << error;
  if (!image) return {};
  std::optional<std::vector<nrv::pe::ResourceEntry>> resources = image->Resources(&error);
  EXPECT_TRUE(resources.has_value()) << error;
  for (const nrv::pe::ResourceEntry& entry : resources.value_or(std::vector<nrv::pe::ResourceEntry>{})) {
    if (entry.type.id != nrv::pe::kResourceTypeVersion) continue;
    std::span<const uint8_t> data = image->MappedRange(entry.data_rva, entry.size);
    return std::vector<uint8_t>(data.begin(), data.end());
  }
  return {};
}

struct Image {
  const char* name;
  const char* cross;
  const char* host;
  const char* description;
};

void PrintTo(const Image& image, std::ostream* out) { *out << image.name; }

class CrossImageVersion : public ::testing::TestWithParam<Image> {};

TEST_P(CrossImageVersion, ReadsAsTheHostImageDoes) {
  const Image& image = GetParam();
  std::vector<uint8_t> cross = hostFile(image.cross);
  ASSERT_FALSE(cross.empty()) << image.cross;
  EXPECT_EQ(versionResourceOf(cross), versionResourceOf(hostFile(image.host)))
      << "the host resource compiler lays the version resource out as the cross build's does";

  nrv::Machine machine{nrv::MachineOptions{nrv::OsProfile::Windows2000}};
  nrv::Process& process = machine.startProcess("setup");
  nrv::ProcessScope scope{process};
  std::string path = machine.files().systemDirectory() + "\\" + image.name;
  machine.files().putFile(path, cross);
  DWORD handle = 1;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
  ASSERT_NE(size, 0u) << GetLastError();
  EXPECT_EQ(handle, 0u);
  auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, size + 1));
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), handle, size, block));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block, "\\StringFileInfo\\040904B0\\ProductVersion", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), "3.00.220");
  EXPECT_EQ(length, 9u);
  ASSERT_TRUE(VerQueryValueA(block, "\\StringFileInfo\\040904B0\\FileDescription", &value, &length));
  EXPECT_STREQ(static_cast<const char*>(value), image.description);
  ASSERT_TRUE(VerQueryValueA(block, "\\", &value, &length));
  EXPECT_EQ(static_cast<const VS_FIXEDFILEINFO*>(value)->dwFileVersionLS, 0x00DC0000u);
  LocalFree(block);
}

INSTANTIATE_TEST_SUITE_P(Deliverables, CrossImageVersion,
                         ::testing::Values(Image{"NRVUSB.SYS", NRVUSB_SYS_IMAGE, NRVUSB_HOST_IMAGE,
                                                 "Norvo USB Printer Device Driver"},
                                           Image{"NRVUSBMN.DLL", NRVUSBMN_DLL_IMAGE, NRVUSBMN_HOST_IMAGE,
                                                 "Norvo USB Printer Port Monitor"}),
                         [](const ::testing::TestParamInfo<Image>& info) {
                           std::string name = info.param.name;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
