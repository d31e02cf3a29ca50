#include "user/message_boxes.h"

#include <algorithm>
#include <cctype>

#include "base/bugcheck.h"
#include "base/system_locale.h"
#include "base/text.h"

namespace nrv {

namespace {

struct AnswerName {
  int answer;
  const char* name;
};

constexpr AnswerName kAnswers[] = {
    {IDOK, "IDOK"},         {IDCANCEL, "IDCANCEL"}, {IDABORT, "IDABORT"}, {IDRETRY, "IDRETRY"},
    {IDIGNORE, "IDIGNORE"}, {IDYES, "IDYES"},       {IDNO, "IDNO"},
};

struct ButtonSet {
  UINT type;
  const char* name;
  std::vector<int> answers;
};

const std::vector<ButtonSet>& buttonSets() {
  static const std::vector<ButtonSet> sets{
      {MB_OK, "MB_OK", {IDOK}},
      {MB_OKCANCEL, "MB_OKCANCEL", {IDOK, IDCANCEL}},
      {MB_ABORTRETRYIGNORE, "MB_ABORTRETRYIGNORE", {IDABORT, IDRETRY, IDIGNORE}},
      {MB_YESNOCANCEL, "MB_YESNOCANCEL", {IDYES, IDNO, IDCANCEL}},
      {MB_YESNO, "MB_YESNO", {IDYES, IDNO}},
      {MB_RETRYCANCEL, "MB_RETRYCANCEL", {IDRETRY, IDCANCEL}},
  };
  return sets;
}

const ButtonSet* buttonSetOf(UINT style) {
  for (const ButtonSet& set : buttonSets()) {
    if (set.type == (style & MB_TYPEMASK)) return &set;
  }
  return nullptr;
}

std::string answerText(int answer) {
  const char* name = messageBoxAnswerName(answer);
  return name != nullptr ? name : format("%d", answer);
}

std::string answersText(const std::vector<int>& answers) {
  std::string text;
  for (int answer : answers) text += (text.empty() ? "" : ", ") + answerText(answer);
  return text.empty() ? "none" : text;
}

}  // namespace

const char* messageBoxAnswerName(int answer) {
  for (const AnswerName& known : kAnswers) {
    if (known.answer == answer) return known.name;
  }
  return nullptr;
}

int messageBoxAnswerOf(const std::string& name) {
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char character) { return static_cast<char>(std::toupper(character)); });
  for (const AnswerName& known : kAnswers) {
    if (upper == known.name || "ID" + upper == known.name) return known.answer;
  }
  return 0;
}

std::string describeMessageBoxStyle(UINT style) {
  static constexpr std::pair<UINT, const char*> kIcons[] = {{MB_ICONERROR, "MB_ICONERROR"},
                                                            {MB_ICONQUESTION, "MB_ICONQUESTION"},
                                                            {MB_ICONEXCLAMATION, "MB_ICONEXCLAMATION"},
                                                            {MB_ICONINFORMATION, "MB_ICONINFORMATION"}};
  const ButtonSet* buttons = buttonSetOf(style);
  std::string text = buttons != nullptr ? buttons->name : format("buttons %u", style & MB_TYPEMASK);
  for (auto [icon, name] : kIcons) {
    if ((style & MB_ICONMASK) == icon) text += std::string(" | ") + name;
  }
  if ((style & MB_TOPMOST) != 0) text += " | MB_TOPMOST";
  return text + format(" (0x%08X)", style);
}

void MessageBoxes::script(const std::vector<int>& answers) {
  std::lock_guard<std::mutex> guard(lock_);
  script_.insert(script_.end(), answers.begin(), answers.end());
}

std::vector<MessageBoxRecord> MessageBoxes::shown() {
  std::lock_guard<std::mutex> guard(lock_);
  return shown_;
}

std::vector<int> MessageBoxes::unused() {
  std::lock_guard<std::mutex> guard(lock_);
  return std::vector<int>(script_.begin() + static_cast<std::ptrdiff_t>(next_), script_.end());
}

int MessageBoxes::show(const std::string& process, HWND owner, const char* text, const char* caption,
                       UINT style) {
  MessageBoxRecord box;
  box.process = process;
  box.owner = owner;
  box.text = text != nullptr ? text : "";
  box.caption = caption != nullptr ? caption : kDefaultCaption;
  unsigned codePage = locale_.codePage();
  box.textUtf8 = toUtf8(fromCodePage(codePage, box.text));
  box.captionUtf8 = toUtf8(fromCodePage(codePage, box.caption));
  box.style = style;

  std::lock_guard<std::mutex> guard(lock_);
  const ButtonSet* buttons = buttonSetOf(style);
  if (buttons == nullptr)
    bugCheck("NOT_IMPLEMENTED", "this machine does not simulate the buttons of " + describe(box));
  if (next_ == script_.size()) {
    std::string scripted = script_.empty() ? "no answers were scripted at all"
                                           : "answers scripted: " + answersText(script_) +
                                                 format(", all %zu taken by earlier boxes", script_.size());
    bugCheck("MESSAGE_BOX_NOT_ANSWERED", describe(box) + "\nno answer was left for it (" + scripted + ")");
  }
  int answer = script_[next_];
  if (std::find(buttons->answers.begin(), buttons->answers.end(), answer) == buttons->answers.end()) {
    bugCheck("MESSAGE_BOX_ANSWER_NOT_OFFERED",
             describe(box) + "\nits buttons give " + answersText(buttons->answers) +
                 ", but the answer scripted for it is " + answerText(answer) +
                 format(" (answer %zu of the script: ", next_ + 1) + answersText(script_) + ")");
  }
  next_++;
  box.answer = answer;
  shown_.push_back(box);
  return answer;
}

std::string MessageBoxes::describe(const MessageBoxRecord& box) const {
  return format("process '%s' showed a message box: caption \"%s\", text \"%s\", style %s",
                box.process.c_str(), box.captionUtf8.c_str(), box.textUtf8.c_str(),
                describeMessageBoxStyle(box.style).c_str());
}

}  // namespace nrv
