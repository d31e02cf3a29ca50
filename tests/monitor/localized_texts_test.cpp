// The monitor's texts in the system's language: the language block follows
// the system default locale at every text loaded, and the text reaches the
// spooler in the ANSI code page (932 on a Japanese system).
#include "language_base.h"
#include "monitor_machine.h"

namespace {

struct LocaleBlock {
  LCID lcid;
  DWORD base;
};

const LocaleBlock kLocaleBlocks[] = {
    {0x0416, 2048}, {0x0816, 1792}, {0x080A, 1536}, {0x0C0A, 1280}, {0x040A, 1280}, {0x0C04, 4352},
    {0x0804, 4352}, {0x0404, 4096}, {0x0411, 2304}, {0x0409, 256},  {0x0809, 256},  {0x040B, 256},
    {0x0405, 8192}, {0x0406, 5120}, {0x0407, 1024}, {0x0807, 1024}, {0x0408, 6400}, {0x040C, 512},
    {0x080C, 512},  {0x040E, 8448}, {0x0410, 768},  {0x0412, 4608}, {0x0413, 5376}, {0x0414, 5632},
    {0x0814, 5632}, {0x0415, 6144}, {0x0419, 4864}, {0x041D, 5888}, {0x041F, 256},  {0x0000, 256},
};

using LanguageBlocks = MonitorMachine;

TEST_F(LanguageBlocks, FollowTheSystemDefaultLocale) {
  nrv::ProcessScope scope(spooler);
  for (const LocaleBlock& block : kLocaleBlocks) {
    machine.locale().setLcid(block.lcid);
    EXPECT_EQ(LanguageBase(), block.base) << std::hex << "locale 0x" << block.lcid;
  }
}

// Only the low word, the language, counts: the sort bits above it do not.
TEST_F(LanguageBlocks, IgnoreTheSortOrderOfTheLocale) {
  nrv::ProcessScope scope(spooler);
  machine.locale().setLcid(0x00010411);
  EXPECT_EQ(LanguageBase(), 2304u);
}

class LocalizedPorts : public MonitorMachine, public ::testing::WithParamInterface<nrv::OsProfile> {
 protected:
  LocalizedPorts() : MonitorMachine(GetParam()) {}

  std::string ansi(const std::u16string& text) { return machine.locale().toAnsi(text); }

  // An unplugged printer's port, and a plugged one whose device ID names it no way.
  void SetUp() override {
    nrv::UsbDevice& laser = plug("MFG:ABC;MDL:P100;DES:ABC P100 Laser;", "SN1");
    plug("MFG:ABC;CMD:PCL;", "SN2");
    unplug(laser);
    startMonitor();
  }

  std::vector<std::string> descriptions() {
    std::vector<std::string> texts;
    for (const nrv::PortRecord& record : ports()) {
      texts.push_back(record.description.value_or("(null)"));
      EXPECT_EQ(record.monitor, kMonitorName) << "the monitor's name is the same in every language";
    }
    return texts;
  }
};

TEST_P(LocalizedPorts, AJapaneseSystemGetsJapaneseTextsInCodePage932AtOnce) {
  EXPECT_EQ(descriptions(), (std::vector<std::string>{"USB Port Not Connected", "Unknown USB Printer"}));
  machine.locale().setLcid(0x0411);
  ASSERT_EQ(machine.locale().codePage(), 932u);
  std::vector<std::string> japanese = {ansi(u"USBﾎﾟｰﾄが接続されていません"), ansi(u"不明なUSBﾌﾟﾘﾝﾀ")};
  EXPECT_EQ(descriptions(), japanese);
  // Half-width katakana is one byte in code page 932: the text is not UTF-8.
  EXPECT_EQ(japanese[0].substr(0, 7), "USB\xCE\xDF\xB0\xC4");
  machine.locale().setLcid(0x0409);
  EXPECT_EQ(descriptions(), (std::vector<std::string>{"USB Port Not Connected", "Unknown USB Printer"}));
}

TEST_P(LocalizedPorts, ALanguageWithoutATranslationGetsTheEnglishTexts) {
  for (LCID lcid : {0x040C, 0x0407, 0x0C04, 0x0416}) {
    machine.locale().setLcid(lcid);
    EXPECT_EQ(descriptions(), (std::vector<std::string>{"USB Port Not Connected", "Unknown USB Printer"}))
        << std::hex << lcid;
  }
}

INSTANTIATE_TEST_SUITE_P(BothProfiles, LocalizedPorts,
                         ::testing::Values(nrv::OsProfile::Windows98, nrv::OsProfile::Windows2000),
                         [](const auto& info) {
                           return info.param == nrv::OsProfile::Windows98 ? "Windows98" : "Windows2000";
                         });

}  // namespace
