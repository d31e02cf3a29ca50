// The host resource compiler: what it reads of a resource script (languages,
// escapes, code pages, concatenated and quoted strings, the statements it
// passes over) and what it refuses, with the line; and the section it writes,
// read back by the machine's loader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rc_parser.h"
#include "resource_section.h"
#include "script_error.h"
#include "user/module_resources.h"

namespace {

struct Seen {
  uint16_t language;
  uint16_t id;
  std::u16string text;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> read(const std::string& script) {
  std::vector<Seen> seen;
  for (const rc::StringResource& string : rc::readResourceScript(script).strings) {
    seen.push_back(Seen{string.language, string.id, string.text});
  }
  return seen;
}

TEST(ResourceCompiler, LanguagesOfTables) {
  EXPECT_EQ(read("STRINGTABLE\nBEGIN\n 1 \"a\"\nEND\n"
                 "LANGUAGE 0x11, 1\nSTRINGTABLE { 2, \"b\" }\n"
                 "STRINGTABLE LANGUAGE 0x0C, 0x01 BEGIN 3 \"c\" END\n"
                 "STRINGTABLE DISCARDABLE PRELOAD CHARACTERISTICS 5 VERSION 2 { 4 \"d\" }\n"),
            (std::vector<Seen>{{0x0409, 1, u"a"}, {0x0411, 2, u"b"}, {0x040C, 3, u"c"}, {0x0411, 4, u"d"}}))
      << "U.S. English until a LANGUAGE statement; a table's own LANGUAGE holds for it alone";
}

TEST(ResourceCompiler, StringsAndEscapes) {
  EXPECT_EQ(read("STRINGTABLE BEGIN\n"
                 " 1 \"tab\\tnew\\nline \\\"q\\\" \"\"q\"\" back\\\\slash\"\n"
                 " 2 \"\\x41\\x414\\101\\0\"\n"
                 " 3 L\"\\x4E0D\\x306AUSB\\x41\"\n"
                 " 4 \"joined \" L\"text\"\n"
                 " 0xFFFF \"last\"\n"
                 "END"),
            (std::vector<Seen>{{0x0409, 1, u"tab\tnew\nline \"q\" \"q\" back\\slash"},
                               {0x0409, 2, std::u16string(u"AA4A") + u'\0'},
                               {0x0409, 3, u"\x4E0D\x306AUSB\x0041"},
                               {0x0409, 4, u"joined text"},
                               {0x0409, 0xFFFF, u"last"}}))
      << "narrow \\x takes two digits, wide four";
}

TEST(ResourceCompiler, CodePages) {
  EXPECT_EQ(read("STRINGTABLE { 1 \"\x80\xE9\\x80\" }"),
            (std::vector<Seen>{{0x0409, 1, u"\x20AC\x00E9\x20AC"}}))
      << "1252 unless the script says otherwise, escaped bytes included";
  EXPECT_EQ(
      read("#pragma code_page(65001)\nSTRINGTABLE { 1 \"caf\xC3\xA9 \xEF\xBE\x8C\" 2 L\"\xC3\xA9\\xFF8C\" }"),
      (std::vector<Seen>{{0x0409, 1, u"caf\x00E9 \xFF8C"}, {0x0409, 2, u"\x00E9\xFF8C"}}));
  EXPECT_EQ(read("#pragma code_page(932)\nSTRINGTABLE { 1 \"\x82\xAA\xCE\" }"),
            (std::vector<Seen>{{0x0409, 1, u"\x304C\xFF8E"}}));
  EXPECT_EQ(read("\xEF\xBB\xBF#pragma code_page(65001)\r\nSTRINGTABLE\r\n{ 1 \"\xC3\xA9\" }\r\n"),
            (std::vector<Seen>{{0x0409, 1, u"\x00E9"}}))
      << "a byte order mark and CRLF lines";
}

TEST(ResourceCompiler, WhatIsPassedOver) {
  EXPECT_EQ(read("// comment \"STRINGTABLE\"\n#include <winver.h>\n  #include \"resource.h\"\n"
                 "/* a comment\n over lines */\n"
                 "VS_VERSION_INFO VERSIONINFO\n FILEVERSION 3,0,220,0\n FILEFLAGSMASK 0x3fL\n"
                 "BEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"040904B0\" { VALUE \"X\", \"END }\" "
                 "}\n END\nEND\n"
                 "STRINGTABLE { 7 \"after\" }\n"),
            (std::vector<Seen>{{0x0409, 7, u"after"}}));
}

TEST(ResourceCompiler, RefusalsNameTheLine) {
  EXPECT_EQ(errorOf("STRINGTABLE {\n 1 \"open\n}"), "2: a string is not closed on its line");
  EXPECT_EQ(errorOf("STRINGTABLE {\n\n 1 \"\\q\" }"), "3: \\q is not an escape the compiler knows");
  EXPECT_EQ(errorOf("STRINGTABLE {\n 1 \"a\"\n 1 \"b\" }"),
            "3: string 1 of language 1033 is given again (first on line 2)");
  EXPECT_EQ(read("STRINGTABLE { 1 \"a\" }\nLANGUAGE 0x11,1\nSTRINGTABLE { 1 \"b\" }").size(), 2u)
      << "one identifier in two languages is no repeat";
  EXPECT_EQ(errorOf("/* a\n*/\nIDD_ABOUT DIALOG 0, 0, 10, 10\n"),
            "3: 'IDD_ABOUT DIALOG' is no resource the compiler reads (it reads STRINGTABLE, LANGUAGE and "
            "VERSIONINFO)");
  EXPECT_EQ(errorOf("#define IDS_NAME 1\n"),
            "1: the preprocessor line '#define IDS_NAME 1' is not one the compiler reads");
  EXPECT_EQ(errorOf("\n#pragma code_page(1251)\n"), "2: code page 1251 is not one the compiler reads");
  EXPECT_EQ(errorOf("STRINGTABLE {\n IDS_NAME \"a\" }"),
            "2: a string identifier must be a number, not 'IDS_NAME'");
  EXPECT_EQ(errorOf("STRINGTABLE { 65536 \"a\" }"), "1: a string identifier 65536 is out of range");
  EXPECT_EQ(errorOf("STRINGTABLE { 1 }"), "1: string 1 has no text");
  EXPECT_EQ(errorOf("STRINGTABLE {\n 1 \"a\"\n"), "3: a STRINGTABLE is not closed");
  EXPECT_EQ(errorOf("LANGUAGE LANG_JAPANESE, SUBLANG_DEFAULT"),
            "1: a primary language must be a number, not 'LANG_JAPANESE'");
  EXPECT_EQ(errorOf("#pragma code_page(65001)\nSTRINGTABLE { 1 \"\xC3\" }"),
            "2: a string holds bytes that are no text in code page 65001");
  EXPECT_EQ(errorOf("1 VERSIONINFO\nBEGIN\n BLOCK \"x\"\n"),
            "4: the script ends where a version block's BEGIN was expected");
  EXPECT_EQ(errorOf("/* never closed"), "1: a comment is never closed");
}

// What the compiler writes is what the loader reads: blocks of sixteen by language.
TEST(ResourceCompiler, TheSectionReadsBackAsTheLoaderReadsIt) {
  rc::ResourceScript script = rc::readResourceScript(
      "STRINGTABLE { 1 \"one\" 17 \"seventeen\" 31 \"\" }\nLANGUAGE 0x11,1\nSTRINGTABLE { 18 L\"\\xFF8E\" }");
  std::vector<uint8_t> section = rc::buildResourceSection(script, 0);
  std::string failure;
  std::unique_ptr<nrv::ModuleResources> resources = nrv::ModuleResources::parse(section, 0, &failure);
  ASSERT_NE(resources, nullptr) << failure;
  EXPECT_TRUE(resources->hasType(rc::kStringTableType));
  EXPECT_EQ(resources->languages(rc::kStringTableType, 1), std::vector<LANGID>{0x0409});
  EXPECT_EQ(resources->languages(rc::kStringTableType, 2), (std::vector<LANGID>{0x0409, 0x0411}));
  EXPECT_TRUE(resources->languages(rc::kStringTableType, 3).empty());

  // Block 2 in English: slot 1 "seventeen", every other slot empty (slot 15 written as empty).
  const std::vector<uint8_t>& block = resources->data(rc::kStringTableType, 2, 0x0409);
  ASSERT_EQ(block.size(), 16 * 2 + 9 * 2u);
  uint16_t length;
  std::memcpy(&length, &block[2], sizeof(length));
  EXPECT_EQ(length, 9);
  std::u16string text(9, u'\0');
  std::memcpy(text.data(), &block[4], 18);
  EXPECT_EQ(text, u"seventeen");

  EXPECT_FALSE(nrv::ModuleResources::parse(rc::buildResourceSection({}, 0), 0, &failure) == nullptr)
      << "a script without string tables still gives a directory";
}

TEST(ResourceCompiler, ADamagedSectionIsRefusedWithItsReason) {
  std::vector<uint8_t> section =
      rc::buildResourceSection(rc::readResourceScript("STRINGTABLE { 1 \"one\" }"), 0);
  std::string failure;
  for (size_t cut :
       {size_t{8}, size_t{20}, size_t{40}, section.size() - 3}) {  // the last 2 bytes are padding
    std::vector<uint8_t> shorter(section.begin(), section.begin() + static_cast<ptrdiff_t>(cut));
    EXPECT_EQ(nrv::ModuleResources::parse(shorter, 0, &failure), nullptr) << cut;
    EXPECT_FALSE(failure.empty());
  }
  std::vector<uint8_t> named = section;
  named[19] |= 0x80;  // the type entry's ID becomes a name
  EXPECT_EQ(nrv::ModuleResources::parse(named, 0, &failure), nullptr);
  EXPECT_EQ(failure, "a resource has a name rather than a number");
}

}  // namespace
