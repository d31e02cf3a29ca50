// NRVUSB.SYS as the cross build leaves it: what the Windows loader and the file's
// property sheet will see.
#include <set>

#include "built_image_test.h"

namespace nrv::pe {
namespace {

constexpr uint32_t kVosNtWindows32 = 0x00040004;
constexpr uint32_t kVftDrv = 3;
constexpr uint32_t kVft2DrvSystem = 7;

constexpr char kImagePath[] = NRVUSB_SYS_PATH;
using NrvusbSys = BuiltImageTest<kImagePath>;

TEST_F(NrvusbSys, IsA32BitI386Image) {
  EXPECT_EQ(image().machine(), kMachineI386);
  EXPECT_EQ(image().optional_magic(), kMagicPe32);
  EXPECT_TRUE(image().file_characteristics() & kFileExecutableImage);
  EXPECT_TRUE(image().file_characteristics() & kFile32BitMachine);
}

TEST_F(NrvusbSys, RunsInTheNativeSubsystem) { EXPECT_EQ(image().subsystem(), kSubsystemNative); }

TEST_F(NrvusbSys, EntryPointIsExecutableCode) {
  ASSERT_NE(image().entry_point(), 0u);
  const Section* section = image().SectionAt(image().entry_point());
  ASSERT_NE(section, nullptr);
  EXPECT_TRUE(section->characteristics & kSectionMemExecute) << section->name;
}

// A driver is loaded wherever the kernel finds room.
TEST_F(NrvusbSys, CanBeRelocated) {
  EXPECT_FALSE(image().file_characteristics() & kFileRelocsStripped);
  EXPECT_GT(image().directory(kDirectoryBaseReloc).size, 0u);
}

TEST_F(NrvusbSys, ChecksumMatchesTheFile) {
  EXPECT_NE(image().stored_checksum(), 0u);
  EXPECT_EQ(image().stored_checksum(), image().ComputeChecksum());
}

TEST_F(NrvusbSys, ImportsOnlyFromTheKernelTheHalAndUsbd) {
  EXPECT_TRUE(ImportedModules({"ntoskrnl.exe", "hal.dll", "usbd.sys"}).count("ntoskrnl.exe"));
}

TEST_F(NrvusbSys, FixedVersionIs3_0_220_0) {
  const VersionInfo version = Version();
  ASSERT_TRUE(version.fixed);
  EXPECT_EQ(version.fixed->file_version_ms, (3u << 16) | 0u);
  EXPECT_EQ(version.fixed->file_version_ls, (220u << 16) | 0u);
  EXPECT_EQ(version.fixed->product_version_ms, (3u << 16) | 0u);
  EXPECT_EQ(version.fixed->product_version_ls, (220u << 16) | 0u);
  EXPECT_EQ(version.fixed->file_os, kVosNtWindows32);
  EXPECT_EQ(version.fixed->file_type, kVftDrv);
  EXPECT_EQ(version.fixed->file_subtype, kVft2DrvSystem);
}

TEST_F(NrvusbSys, VersionStringsAreUsEnglishUnicode) {
  const VersionInfo version = Version();
  ASSERT_TRUE(version.strings.count("040904B0")) << "no 040904B0 string table";
  const std::map<std::string, std::string>& strings = version.strings.at("040904B0");
  const std::map<std::string, std::string> expected = {
      {"FileVersion", "3.00.220"},
      {"ProductVersion", "3.00.220"},
      {"FileDescription", "Norvo USB Printer Device Driver"},
      {"InternalName", "NRVUSB.SYS"},
      {"OriginalFilename", "NRVUSB.SYS"},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_TRUE(strings.count(name)) << "missing " << name;
    EXPECT_EQ(strings.at(name), value) << name;
  }
  EXPECT_EQ(version.translations, (std::vector<Translation>{{0x409, 1200}}));
}

}  // namespace
}  // namespace nrv::pe
