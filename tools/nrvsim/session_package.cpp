// The package's life in a session: the installation procedure, the person's
// answers to the boxes, the uninstaller, and what of the package is left.
#include "package_footprint.h"
#include "session.h"
#include "user/message_boxes.h"

namespace nrvsim {

namespace {

constexpr char kUninstaller[] = "\\NRVUSBUN.EXE";

int answerId(BoxAnswer answer) {
  switch (answer) {
    case BoxAnswer::Ok:
      return IDOK;
    case BoxAnswer::Cancel:
      return IDCANCEL;
    case BoxAnswer::Yes:
      return IDYES;
    case BoxAnswer::No:
      return IDNO;
  }
  return 0;
}

// "Yes" for IDYES: the button's own label.
std::string buttonLabel(int answer) {
  switch (answer) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return nrv::messageBoxAnswerName(answer) != nullptr ? nrv::messageBoxAnswerName(answer)
                                                          : std::to_string(answer);
  }
}

std::vector<std::string> buttonLabels(const std::vector<int>& answers) {
  std::vector<std::string> labels;
  for (int answer : answers) labels.push_back(buttonLabel(answer));
  return labels;
}

}  // namespace

std::vector<MessageBoxFacts> Session::boxesSince(size_t before) {
  std::vector<nrv::MessageBoxRecord> shown = machine_->messageBoxes().shown();
  std::vector<MessageBoxFacts> boxes;
  for (size_t index = before; index < shown.size(); index++) {
    const nrv::MessageBoxRecord& box = shown[index];
    boxes.push_back(
        MessageBoxFacts{box.process, box.captionUtf8, box.textUtf8, box.style, buttonLabel(box.answer)});
  }
  return boxes;
}

Event Session::perform(const InstallCommand&) {
  requireAwake();
  size_t before = machine_->messageBoxes().shown().size();
  nrv::PackageInstallation installation = nrv::installPackage(*machine_, package_);
  return PackageInstalled{installation.steps, boxesSince(before), installation.checkVersion,
                          installation.installPortMonitor, installation.stopped};
}

Event Session::perform(const AnswerCommand& command) {
  std::vector<int> answers;
  for (BoxAnswer answer : command.answers) answers.push_back(answerId(answer));
  machine_->messageBoxes().script(answers);
  return AnswersScripted{buttonLabels(machine_->messageBoxes().unused())};
}

Event Session::perform(const UninstallCommand&) {
  requireAwake();
  std::vector<PackageItemFacts> before = packageFootprint(*machine_);
  size_t boxesBefore = machine_->messageBoxes().shown().size();
  nrv::ProgramRun run = machine_->runProgram(machine_->files().systemDirectory() + kUninstaller);
  PackageUninstalled facts;
  if (!run.ran) {
    facts.failure = run.failure;
    return facts;
  }
  facts.boxes = boxesSince(boxesBefore);
  facts.exitCode = run.exitCode;
  std::vector<PackageItemFacts> after = packageFootprint(*machine_);
  facts.removed = itemsGone(before, after);
  for (const PackageItemFacts& item : itemsGone(after, before)) {
    if (item.kind == "scheduled") facts.scheduled.push_back(item);
  }
  return facts;
}

Event Session::perform(const LeftoversCommand&) { return LeftoversListed{packageFootprint(*machine_)}; }

}  // namespace nrvsim
