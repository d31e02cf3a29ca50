#include "user/program.h"

#include <mutex>

#include "base/scheduler.h"
#include "base/text.h"
#include "user/file_system.h"
#include "user/process.h"

namespace nrv {

namespace {

using ProgramEntry = int(WINAPI*)(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

ProgramRun refused(DWORD error, std::string failure) {
  ProgramRun run;
  run.error = error;
  run.failure = std::move(failure);
  return run;
}

// On a thread of the process: load, run, end. A program that cannot be
// loaded leaves an empty process, which ends at once.
ProgramRun loadAndRun(Process& process, const std::string& hostModule, const std::string& file) {
  ProgramRun run;
  std::string failure = userModeImportRefusal(hostModule);
  UserModule* module = nullptr;
  if (!failure.empty()) {
    run = refused(ERROR_PROC_NOT_FOUND, file + " cannot be loaded: " + failure);
  } else if ((module = process.loadModule(hostModule, &failure)) == nullptr) {
    run = refused(ERROR_BAD_EXE_FORMAT, file + " cannot be loaded: " + failure);
  } else if (auto entry = reinterpret_cast<ProgramEntry>(process.exportOf(*module, "WinMain"));
             entry == nullptr) {
    run = refused(ERROR_BAD_EXE_FORMAT, file + " has no program entry (WinMain)");
  } else {
    char commandLine[] = "";
    run.exitCode = static_cast<DWORD>(entry(module->instance, nullptr, commandLine, SW_SHOWNORMAL));
    run.ran = true;
  }
  process.end();
  return run;
}

}  // namespace

std::optional<ProgramRun> programRefusal(FileSystem& files, const std::string& file) {
  if (files.isFolder(file)) return refused(ERROR_ACCESS_DENIED, file + " is a folder");
  if (!files.isFile(file)) return refused(ERROR_FILE_NOT_FOUND, file + " does not exist");
  if (!files.hostModule(file))
    return refused(ERROR_BAD_EXE_FORMAT, file + " is no program this machine can run");
  return std::nullopt;
}

ProgramRun runProgramIn(Process& process, FileSystem& files, const std::string& file) {
  if (std::optional<ProgramRun> refusal = programRefusal(files, file)) return *refusal;
  std::string hostModule = *files.hostModule(file);
  Scheduler& scheduler = process.services().scheduler;
  ProgramRun run;
  bool ended = false;  // guarded by the dispatcher lock
  files.markInUse(file, 1);
  process.startThread("WinMain", [&] {
    ProgramRun result = loadAndRun(process, hostModule, file);
    std::lock_guard<std::mutex> guard(scheduler.dispatcherLock());
    run = std::move(result);
    ended = true;
    scheduler.stateChanged();
  });
  {
    std::unique_lock<std::mutex> held(scheduler.dispatcherLock());
    scheduler.block(
        held, [&] { return ended; }, Scheduler::kNoDeadline,
        [file, name = process.name()] {
          return format("the end of program %s (process '%s')", file.c_str(), name.c_str());
        });
  }
  files.markInUse(file, -1);
  return run;
}

}  // namespace nrv
