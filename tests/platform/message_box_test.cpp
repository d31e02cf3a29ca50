// Message boxes: each takes the next scripted answer and is recorded as the
// program passed it; a box nobody answered, or answered with a button it does
// not have, stops the machine naming the box.
#include <gtest/gtest.h>

#include "base/system_locale.h"
#include "death_test.h"
#include "machine/machine.h"

namespace {

using MessageBoxDeathTest = platform_test::DeathTest;

TEST(MessageBox, EachBoxTakesTheNextAnswerAndIsRecorded) {
  nrv::Machine machine;
  machine.messageBoxes().script({IDCANCEL, IDYES});
  machine.messageBoxes().script({IDNO, IDOK});
  nrv::ProcessScope scope(machine.startProcess("SETUP.EXE"));
  EXPECT_EQ(MessageBoxA(nullptr, "First", nullptr, MB_OKCANCEL | MB_ICONEXCLAMATION), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "Second", "Confirm", MB_YESNO | MB_ICONQUESTION | MB_TOPMOST), IDYES);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, "", MB_YESNOCANCEL), IDNO);

  std::vector<nrv::MessageBoxRecord> shown = machine.messageBoxes().shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].process, "SETUP.EXE");
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[0].text, "First");
  EXPECT_EQ(shown[0].caption, "Error") << "the system's caption when none is given";
  EXPECT_EQ(shown[0].style, 0x31u);
  EXPECT_EQ(shown[0].answer, IDCANCEL);
  EXPECT_EQ(shown[1].caption, "Confirm");
  EXPECT_EQ(shown[1].style, 0x00040024u);
  EXPECT_EQ(shown[2].text, "");
  EXPECT_EQ(shown[2].caption, "") << "an empty caption is not a missing one";
  EXPECT_EQ(machine.messageBoxes().unused(), std::vector<int>{IDOK});
}

TEST(MessageBox, JapaneseTextIsKeptAsPassedAndConvertedWithTheSystemCodePage) {
  nrv::Machine machine;
  machine.locale().setLcid(0x0411);
  machine.messageBoxes().script({IDYES});
  nrv::ProcessScope scope(machine.startProcess("NRVUSBUN.EXE"));
  std::string caption = nrv::toCodePage(932, u"削除の確認");
  std::string text = nrv::toCodePage(932, u"全て削除しますか？");
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_YESNO);
  // The same bytes read as another code page are other text: the conversion
  // uses the code page of the moment the box was shown.
  machine.locale().setLcid(0x0409);
  nrv::MessageBoxRecord box = machine.messageBoxes().shown().at(0);
  EXPECT_EQ(box.caption, caption);
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.captionUtf8, "削除の確認");
  EXPECT_EQ(box.textUtf8, "全て削除しますか？");
}

// Threads of two processes show boxes at once: each box takes one answer.
TEST(MessageBox, BoxesShownAtOnceTakeOneAnswerEach) {
  nrv::Machine machine;
  std::vector<int> answers(40, IDOK);
  machine.messageBoxes().script(answers);
  for (const char* name : {"FIRST", "SECOND"}) {
    nrv::Process& process = machine.startProcess(name);
    process.startThread("boxes", [] {
      for (int box = 0; box < 20; box++) MessageBoxA(nullptr, "Hello", nullptr, MB_OK);
    });
  }
  machine.joinThreads();
  EXPECT_EQ(machine.messageBoxes().shown().size(), 40u);
  EXPECT_TRUE(machine.messageBoxes().unused().empty());
}

TEST(MessageBox, AnswersAndStylesHaveTheirNames) {
  EXPECT_STREQ(nrv::messageBoxAnswerName(IDYES), "IDYES");
  EXPECT_EQ(nrv::messageBoxAnswerName(0), nullptr);
  EXPECT_EQ(nrv::messageBoxAnswerOf("idcancel"), IDCANCEL);
  EXPECT_EQ(nrv::messageBoxAnswerOf("no"), IDNO);
  EXPECT_EQ(nrv::messageBoxAnswerOf("maybe"), 0);
  EXPECT_EQ(nrv::describeMessageBoxStyle(0x00040024), "MB_YESNO | MB_ICONQUESTION | MB_TOPMOST (0x00040024)");
  EXPECT_EQ(nrv::describeMessageBoxStyle(MB_ICONERROR), "MB_OK | MB_ICONERROR (0x00000010)");
}

TEST_F(MessageBoxDeathTest, ABoxWithNoAnswerLeftStopsTheMachineNamingIt) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.messageBoxes().script({IDOK});
        nrv::ProcessScope scope(machine.startProcess("NRVUSBIN"));
        MessageBoxA(nullptr, "One", nullptr, MB_OK);
        MessageBoxA(nullptr, "This version of Windows may not be supported.", nullptr,
                    MB_OKCANCEL | MB_ICONEXCLAMATION);
      },
      "STOP: MESSAGE_BOX_NOT_ANSWERED\n.*process 'NRVUSBIN' showed a message box: caption \"Error\", text "
      "\"This "
      "version of Windows may not be supported.\", style MB_OKCANCEL \\| MB_ICONEXCLAMATION "
      "\\(0x00000031\\)\n"
      ".*answers scripted: IDOK, all 1 taken");
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        nrv::ProcessScope scope(machine.startProcess("NRVUSBIN"));
        MessageBoxA(nullptr, "Nobody", nullptr, MB_OK);
      },
      "MESSAGE_BOX_NOT_ANSWERED.*\"Nobody\".*no answers were scripted at all");
}

TEST_F(MessageBoxDeathTest, AnAnswerTheBoxDoesNotOfferStopsTheMachine) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.messageBoxes().script({IDOK, IDYES});
        nrv::ProcessScope scope(machine.startProcess("NRVUSBIN"));
        MessageBoxA(nullptr, "Fine", nullptr, MB_OKCANCEL);
        MessageBoxA(nullptr, "Restart?", "Confirm Reboot", MB_OKCANCEL);
      },
      "STOP: MESSAGE_BOX_ANSWER_NOT_OFFERED\n.*caption \"Confirm Reboot\", text \"Restart\\?\".*its buttons "
      "give "
      "IDOK, IDCANCEL, but the answer scripted for it is IDYES \\(answer 2 of the script: IDOK, IDYES\\)");
  // Escape closes an OK box with IDOK: IDCANCEL is no answer it can give.
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.messageBoxes().script({IDCANCEL});
        nrv::ProcessScope scope(machine.startProcess("NRVUSBIN"));
        MessageBoxA(nullptr, "Done", nullptr, MB_OK | MB_ICONEXCLAMATION);
      },
      "MESSAGE_BOX_ANSWER_NOT_OFFERED");
}

TEST_F(MessageBoxDeathTest, ButtonsThisMachineDoesNotKnowStopIt) {
  EXPECT_DEATH(
      {
        nrv::Machine machine;
        machine.messageBoxes().script({IDOK});
        nrv::ProcessScope scope(machine.startProcess("NRVUSBIN"));
        MessageBoxA(nullptr, "Odd", nullptr, 7);
      },
      "STOP: NOT_IMPLEMENTED\n.*does not simulate the buttons of process 'NRVUSBIN' showed a message box: .*"
      "style buttons 7 \\(0x00000007\\)");
}

}  // namespace
