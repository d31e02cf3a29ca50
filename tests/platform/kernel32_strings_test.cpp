// kernel32's string routines, wsprintfA, the version by profile and the
// system locale.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "machine/machine.h"

namespace {

class Strings : public ::testing::Test {
 public:
  nrv::Machine machine;
  nrv::Process& process = machine.startProcess("program");
  nrv::ProcessScope scope{process};
};

int sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

TEST_F(Strings, ComparisonsFollowTheLocaleNotTheBytes) {
  EXPECT_EQ(lstrcmpiA("NRVUSB001:", "nrvusb001:"), 0);
  EXPECT_NE(lstrcmpA("NRVUSB001:", "nrvusb001:"), 0);
  EXPECT_EQ(lstrcmpA("Port", "Port"), 0);
  struct Ordered {
    const char* lower;
    const char* higher;
  } cases[] = {
      {"a", "B"},  // letters alphabetically, not by code
      {"a", "A"},  // lowercase first when otherwise equal
      {"_", "1"},  // symbols before digits
      {"9", "a"},  // digits before letters
      {"NRVUSB", "NRVUSB001:"},
      {"NRVUSB001:", "NRVUSB002:"},
      {"coop", "co-op"},  // the hyphen counts only at the end
      {"co-op", "cop"},   // and not before the letters
      {"z", "\xE9"},      // an accented letter after z
      {"\xE9", "\xC9t"},  // which still folds case
  };
  for (const Ordered& pair : cases) {
    EXPECT_EQ(sign(lstrcmpA(pair.lower, pair.higher)), -1) << pair.lower << " < " << pair.higher;
    EXPECT_EQ(sign(lstrcmpA(pair.higher, pair.lower)), 1) << pair.higher << " > " << pair.lower;
  }
  EXPECT_EQ(lstrcmpiA("\xC9TAT", "\xE9tat"), 0) << "Latin-1 letters fold";
  EXPECT_EQ(sign(lstrcmpiA("a", "B")), -1);
  EXPECT_EQ(sign(lstrcmpiA("co-op", "coop")), 1) << "equal only when the texts are";
  EXPECT_EQ(lstrcmpA(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpA(nullptr, ""), -1);
  EXPECT_EQ(lstrcmpiA("", nullptr), 1);
}

TEST_F(Strings, LengthAndCopyTolerateNull) {
  EXPECT_EQ(lstrlenA("NRVUSB001:"), 10);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  char buffer[16] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(lstrcpyA(buffer, "abc"), buffer);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(lstrcpyA(nullptr, "abc"), nullptr);
  EXPECT_EQ(lstrcpyA(buffer, nullptr), nullptr);
}

TEST_F(Strings, WsprintfFormatsTheSystemsSubset) {
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "%s%03d:", "NRVUSB", 7), 10);
  EXPECT_STREQ(out, "NRVUSB007:");
  wsprintfA(out, "[%5d|%-5d|%05d|%.3d|%u|%x|%#X|%c|%%|%ld]", -42, 42, -42, 7, 0xFFFFFFFFu, 0xBEEF, 0xBEEF,
            'Z', static_cast<LONG>(5));
  EXPECT_STREQ(out, "[  -42|42   |-0042|007|4294967295|beef|0XBEEF|Z|%|5]");
  wsprintfA(out, "%.3s|%6s|%-4s|%s|%hs", "abcdef", "ab", "ab", static_cast<const char*>(nullptr), "narrow");
  EXPECT_STREQ(out, "abc|    ab|ab  |(null)|narrow");
  wsprintfA(out, "%S|%ls|%C", L"wide", L"text", L'W');
  EXPECT_STREQ(out, "wide|text|W");
  wsprintfA(out, "%I64u|%I64d|%hd|%hu", 0x100000000ULL, -5LL, 70000, 70000);
  EXPECT_STREQ(out, "4294967296|-5|4464|4464");
  EXPECT_EQ(wsprintfA(out, "%y%"), 1) << "an unknown type prints as it stands; a lone % ends";
  EXPECT_STREQ(out, "y");

  std::string longText(2000, 'x');
  EXPECT_EQ(wsprintfA(out, "%s", longText.c_str()), 1023);
  EXPECT_EQ(std::string(out), longText.substr(0, 1023));
}

TEST_F(Strings, WideTextComesOutInTheCodePageOfTheLocale) {
  char out[64];
  machine.locale().setLcid(0x0411);
  EXPECT_EQ(GetSystemDefaultLCID(), 0x0411u);
  wsprintfA(out, "%S", u"\uFF8E\uFF9F");  // half-width katakana
  EXPECT_STREQ(out, "\xCE\xDF");
  EXPECT_EQ(lstrcmpiA("\x82\xA0", "\x82\xA0"), 0);  // a double-byte character compares whole
  machine.locale().setLcid(0x0409);
  EXPECT_EQ(GetSystemDefaultLCID(), 0x0409u);
}

TEST(Version, GetVersionFollowsTheProfile) {
  {
    nrv::Machine machine(nrv::MachineOptions{nrv::OsProfile::Windows98});
    nrv::ProcessScope scope(machine.startProcess("program"));
    DWORD version = GetVersion();
    EXPECT_EQ(version, 0xC0000A04u);
    EXPECT_EQ(LOBYTE(LOWORD(version)), 4);
    EXPECT_EQ(HIBYTE(LOWORD(version)), 10);
    EXPECT_NE(version & 0x80000000, 0u) << "the Windows 95/98 family";
  }
  nrv::Machine machine(nrv::MachineOptions{nrv::OsProfile::Windows2000});
  nrv::ProcessScope scope(machine.startProcess("program"));
  DWORD version = GetVersion();
  EXPECT_EQ(LOBYTE(LOWORD(version)), 5);
  EXPECT_EQ(HIBYTE(LOWORD(version)), 0);
  EXPECT_EQ(version & 0x80000000, 0u);
  EXPECT_EQ(HIWORD(version), 2195) << "the build";
}

}  // namespace
