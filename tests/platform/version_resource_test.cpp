// The version resources the host resource compiler writes: each deliverable's
// script compiled into a host image and read back by the PE reader written
// apart from the compiler, the header lines and values it reads, the node
// layout, and the scripts it refuses, with the line.
#include "version_resource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host_image.h"
#include "pe_image.h"
#include "rc_parser.h"
#include "script_error.h"

namespace {

std::string scriptFile(const std::string& path) {
  std::ifstream file(std::string(NRV_SOURCE_DIR) + "/" + path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct Deliverable {
  const char* script;
  rc::ImageKind kind;
  const char* file;
  const char* description;
  uint32_t os;
  uint32_t type;
  uint32_t subtype;
  uint16_t language;  // the LANGUAGE in force where the script's VERSIONINFO stands
};

void PrintTo(const Deliverable& deliverable, std::ostream* out) { *out << deliverable.file; }

class DeliverableVersion : public ::testing::TestWithParam<Deliverable> {};

TEST_P(DeliverableVersion, ReadsBackAsWindowsReadsIt) {
  const Deliverable& deliverable = GetParam();
  std::string script = scriptFile(deliverable.script);
  ASSERT_FALSE(script.empty()) << deliverable.script;
  if (script.find("VERSIONINFO") == std::string::npos)
    GTEST_SKIP() << deliverable.script << " has no VERSIONINFO yet";
  std::string error;
  std::optional<nrv::pe::PeImage> parsed =
      nrv::pe::PeImage::Parse(rc::buildHostImage(rc::readResourceScript(script), deliverable.kind), &error);
  ASSERT_TRUE(parsed.has_value()) << error;
  const nrv::pe::PeImage& image = *parsed;

  EXPECT_EQ(image.machine(), nrv::pe::kMachineI386);
  EXPECT_EQ(image.optional_magic(), nrv::pe::kMagicPe32);
  EXPECT_EQ(image.stored_checksum(), image.ComputeChecksum());
  EXPECT_EQ((image.file_characteristics() & nrv::pe::kFileDll) != 0, deliverable.kind == rc::ImageKind::Dll);
  EXPECT_EQ(image.subsystem(), deliverable.kind == rc::ImageKind::Driver ? nrv::pe::kSubsystemNative
                                                                         : nrv::pe::kSubsystemWindowsGui);
  ASSERT_EQ(image.sections().size(), 1u);
  EXPECT_EQ(image.sections()[0].name, ".rsrc");
  EXPECT_EQ(image.directory(nrv::pe::kDirectoryResource).rva, image.sections()[0].virtual_address);

  std::optional<nrv::pe::VersionInfo> version = image.Version(&error);
  ASSERT_TRUE(version.has_value()) << error;
  ASSERT_TRUE(version->fixed.has_value());
  const nrv::pe::FixedFileInfo& fixed = *version->fixed;
  EXPECT_EQ(fixed.signature, nrv::pe::kFixedFileInfoSignature);
  EXPECT_EQ(fixed.struct_version, 0x00010000u);
  EXPECT_EQ(fixed.file_version_ms, 0x00030000u) << "3.0";
  EXPECT_EQ(fixed.file_version_ls, 0x00DC0000u) << "220.0";
  EXPECT_EQ(fixed.product_version_ms, 0x00030000u);
  EXPECT_EQ(fixed.product_version_ls, 0x00DC0000u);
  EXPECT_EQ(fixed.file_flags_mask, 0x3Fu);
  EXPECT_EQ(fixed.file_flags, 0u);
  EXPECT_EQ(fixed.file_os, deliverable.os);
  EXPECT_EQ(fixed.file_type, deliverable.type);
  EXPECT_EQ(fixed.file_subtype, deliverable.subtype);

  ASSERT_EQ(version->strings.count("040904B0"), 1u);
  const std::map<std::string, std::string>& strings = version->strings.at("040904B0");
  EXPECT_EQ(strings.at("ProductVersion"), "3.00.220");
  EXPECT_EQ(strings.at("FileVersion"), "3.00.220");
  EXPECT_EQ(strings.at("FileDescription"), deliverable.description);
  EXPECT_EQ(strings.at("OriginalFilename"), deliverable.file);
  EXPECT_EQ(version->translations, (std::vector<nrv::pe::Translation>{{0x0409, 1200}}));

  std::optional<std::vector<nrv::pe::ResourceEntry>> resources = image.Resources(&error);
  ASSERT_TRUE(resources.has_value()) << error;
  bool versionOne = false;
  for (const nrv::pe::ResourceEntry& entry : *resources) {
    if (entry.type.id == nrv::pe::kResourceTypeVersion) {
      versionOne = entry.name.id == 1 && entry.language == deliverable.language;
    }
  }
  EXPECT_TRUE(versionOne) << "VS_VERSION_INFO, in the language in force";
}

// Each VERSIONINFO is U.S. English: a LANGUAGE statement after the last
// language block of the string table says so.
INSTANTIATE_TEST_SUITE_P(
    EachScript, DeliverableVersion,
    ::testing::Values(Deliverable{"driver/NRVUSB.rc", rc::ImageKind::Driver, "NRVUSB.SYS",
                                  "Norvo USB Printer Device Driver", 0x00040004, 3, 7, 0x0409},
                      Deliverable{"monitor/NRVUSBMN.rc", rc::ImageKind::Dll, "NRVUSBMN.DLL",
                                  "Norvo USB Printer Port Monitor", 4, 2, 0, 0x0409},
                      Deliverable{"setup/installer/NRVUSBIN.rc", rc::ImageKind::Dll, "NRVUSBIN.DLL",
                                  "Norvo USB Printer Port Monitor Installer", 4, 2, 0, 0x0409},
                      Deliverable{"setup/uninstaller/NRVUSBUN.rc", rc::ImageKind::Exe, "NRVUSBUN.EXE",
                                  "Norvo USB Printer UnInstaller", 4, 1, 0, 0x0409}),
    [](const ::testing::TestParamInfo<Deliverable>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

TEST(VersionResource, HeaderLinesAndValues) {
  rc::ResourceScript script = rc::readResourceScript(
      "LANGUAGE 0x11, 0x01\n"
      "7 VERSIONINFO\n"
      " FILEVERSION 1, 2\n"
      " PRODUCTVERSION 0xFFFF,0,0,1L\n"
      " FILEFLAGSMASK VS_FF_DEBUG | 0x20L\n"
      " FILEFLAGS VS_FF_PRERELEASE|VS_FF_PATCHED\n"
      " FILEOS VOS_NT | VOS__WINDOWS32\n"
      " FILETYPE VFT_DRV\n"
      " FILESUBTYPE VFT2_DRV_VERSIONED_PRINTER\n"
      "{ BLOCK \"b\" { VALUE \"Joined\", \"one \" L\"two\" } VALUE \"Numbers\", 1, 0x10002L, 3 }\n");
  ASSERT_EQ(script.versions.size(), 1u);
  const rc::VersionResource& version = script.versions[0];
  EXPECT_EQ(version.language, 0x0411);
  EXPECT_EQ(version.name, 7);
  EXPECT_EQ(version.fixed.fileVersionMs, 0x00010002u);
  EXPECT_EQ(version.fixed.fileVersionLs, 0u) << "parts not written are 0";
  EXPECT_EQ(version.fixed.productVersionMs, 0xFFFF0000u);
  EXPECT_EQ(version.fixed.productVersionLs, 1u);
  EXPECT_EQ(version.fixed.flagsMask, 0x21u);
  EXPECT_EQ(version.fixed.flags, 6u);
  EXPECT_EQ(version.fixed.os, 0x00040004u);
  EXPECT_EQ(version.fixed.type, 3u);
  EXPECT_EQ(version.fixed.subtype, 12u);
  ASSERT_EQ(version.children.size(), 2u);
  ASSERT_EQ(version.children[0].children.size(), 1u);
  EXPECT_EQ(version.children[0].children[0].text, u"one two");
  EXPECT_EQ(version.children[1].binary, (std::vector<uint8_t>{1, 0, 2, 0, 1, 0, 3, 0}))
      << "a word each, a double word for a number with L";
}

// Lengths and alignment node by node, for a text and a binary value whose keys end
// on and off a 32-bit boundary.
TEST(VersionResource, NodeLayout) {
  rc::ResourceScript script = rc::readResourceScript(
      "1 VERSIONINFO { BLOCK \"SFI\" { VALUE \"Ab\", \"xyz\" } BLOCK \"V\" { VALUE \"T\", 0x409, 1200 } }");
  std::vector<uint8_t> data = rc::versionResourceData(script.versions[0]);
  auto word = [&](size_t at) {
    uint16_t value;
    std::memcpy(&value, &data[at], sizeof(value));
    return value;
  };
  // Root: 6 + "VS_VERSION_INFO\0" (32) = 38, padded to 40, 52 bytes of fixed part: children at 92.
  EXPECT_EQ(word(2), 52);
  EXPECT_EQ(word(4), 0);
  EXPECT_EQ(word(40), 0xFEEF04BD & 0xFFFF);
  // BLOCK "SFI" at 92: 6 + 8 = 14, padded to 16; its VALUE "Ab" at 108: 6 + 6 = 12, "xyz\0" (8) = 20.
  EXPECT_EQ(word(92), 16 + 20);
  EXPECT_EQ(word(94), 0);
  EXPECT_EQ(word(96), 1);
  EXPECT_EQ(word(108), 20);
  EXPECT_EQ(word(110), 4) << "a text's length counts its units and the NUL";
  EXPECT_EQ(word(112), 1);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(&data[120]), 3), u"xyz");
  // BLOCK "V" at 128: 6 + 4 = 10, padded to 12; VALUE "T" at 140: 6 + 4 = 10, padded to 12, 4 bytes.
  EXPECT_EQ(word(128), 12 + 16);
  EXPECT_EQ(word(140), 16);
  EXPECT_EQ(word(142), 4) << "a binary value's length counts bytes";
  EXPECT_EQ(word(144), 0);
  EXPECT_EQ(word(152), 0x409);
  EXPECT_EQ(word(154), 1200);
  EXPECT_EQ(word(0), 156);
  EXPECT_EQ(data.size(), 156u);
}

TEST(VersionResource, RefusalsNameTheLine) {
  EXPECT_EQ(errorOf("\nMY_VERSION VERSIONINFO { }"),
            "2: a VERSIONINFO is named 'MY_VERSION'; the compiler reads VS_VERSION_INFO or a number from 1 "
            "to 65535");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n FILEOS VOS_OS2\n{ }"),
            "2: 'VOS_OS2' is no version symbol the compiler knows");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n\n FILEDATE 1\n{ }"),
            "3: 'FILEDATE' is no VERSIONINFO header line the compiler reads");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n FILEVERSION 1,2,3,4,5\n{ }"), "2: a version has at most four parts");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n FILEVERSION 65536\n{ }"),
            "2: a part of a version 65536 is out of range");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n FILETYPE"), "2: a version header value must be a number, not ''");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n VALUE \"a\" \"b\" }"),
            "2: a VALUE's name must be followed by a comma and its value");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n VALUE \"a\", \"b\", \"c\" }"),
            "2: a VALUE holds one text; strings after a comma are not read");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n VALUE \"a\", 65536 }"), "2: a VALUE's value 65536 is out of range");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n BLOCK x { } }"), "2: BLOCK must be followed by its name in quotes");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n STRING \"a\" }"),
            "2: 'STRING' where a BLOCK, VALUE or END was expected");
  EXPECT_EQ(errorOf("1 VERSIONINFO {\n BLOCK \"a\" {\n"), "3: a version block is not closed");
  EXPECT_EQ(errorOf("1 VERSIONINFO\n FILEOS 4\n"), "3: a VERSIONINFO has no BEGIN");
  EXPECT_EQ(errorOf("1 VERSIONINFO { }\nLANGUAGE 0x11, 1\n1 VERSIONINFO { }\nLANGUAGE 9, 1\nVS_VERSION_INFO "
                    "VERSIONINFO { }"),
            "5: a VERSIONINFO of language 1033 is given again (first on line 1)");
  std::string longText(40000, 'x');
  try {
    rc::ResourceScript script =
        rc::readResourceScript("1 VERSIONINFO {\n VALUE \"a\", \"" + longText + "\" }");
    rc::versionResourceData(script.versions[0]);
    ADD_FAILURE() << "a node longer than its 16-bit length was written";
  } catch (const rc::ScriptError& error) {
    EXPECT_EQ(error.line(), 1);
    EXPECT_STREQ(error.what(), "the version node \"a\" is longer than 65535 bytes");
  }
}

}  // namespace
