// The message boxes programs show. Nobody sits at this machine, so a test or
// a scenario says in advance what the user will press: a queue of answers,
// one taken by each box in turn. A box with no answer left, or an answer its
// buttons do not offer, stops the machine naming the box, so a run never
// goes on with an answer nobody chose.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

class SystemLocale;

struct MessageBoxRecord {
  std::string process;
  HWND owner = nullptr;
  // As the program passed them, in the system's ANSI code page; a null
  // caption is the system's default caption.
  std::string text;
  std::string caption;
  // The same in UTF-8, converted with the code page in use when the box was shown.
  std::string textUtf8;
  std::string captionUtf8;
  UINT style = 0;
  int answer = 0;
};

// "IDYES", "IDCANCEL", ...; null for a value that is no answer.
const char* messageBoxAnswerName(int answer);
// The answer a name stands for ("IDYES" or "YES", any case); 0 for none.
int messageBoxAnswerOf(const std::string& name);
// "MB_YESNO | MB_ICONQUESTION | MB_TOPMOST (0x00040024)".
std::string describeMessageBoxStyle(UINT style);

class MessageBoxes {
 public:
  // What MessageBoxA shows when it is given no caption.
  static constexpr const char* kDefaultCaption = "Error";

  explicit MessageBoxes(SystemLocale& locale) : locale_(locale) {}
  MessageBoxes(const MessageBoxes&) = delete;
  MessageBoxes& operator=(const MessageBoxes&) = delete;

  // Adds answers to the end of the queue.
  void script(const std::vector<int>& answers);
  // Every box shown so far, in order, with the answer it took.
  std::vector<MessageBoxRecord> shown();
  // The answers no box has taken yet.
  std::vector<int> unused();

  // Shows a box: takes the next answer and records it; stops the machine
  // when there is none or the box does not offer it. A null caption is the default one.
  int show(const std::string& process, HWND owner, const char* text, const char* caption, UINT style);

 private:
  std::string describe(const MessageBoxRecord& box) const;

  SystemLocale& locale_;
  std::mutex lock_;
  std::vector<int> script_;
  size_t next_ = 0;
  std::vector<MessageBoxRecord> shown_;
};

}  // namespace nrv
