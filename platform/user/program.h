// Running a program: a machine file played by a host module is loaded into a
// new process as its image and its WinMain runs on a thread of that process,
// as CreateProcess starts a windowed program. The file stays in use while the
// program runs. When WinMain returns, the process ends, and whatever the
// program left open or allocated stops the machine.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace nrv {

class FileSystem;
class Process;

struct ProgramRun {
  bool ran = false;             // WinMain was called and returned
  DWORD error = ERROR_SUCCESS;  // why it could not start, as CreateProcess's last error
  std::string failure;          // the same in words; empty when it ran
  DWORD exitCode = 0;           // WinMain's result
};

// Why a machine file cannot start as a program (ERROR_FILE_NOT_FOUND for a
// missing file, ERROR_BAD_EXE_FORMAT for a plain one); nothing when it can.
// Checked before any process is made, as CreateProcess checks the image.
std::optional<ProgramRun> programRefusal(FileSystem& files, const std::string& file);

// Loads the file's host module into the process (which has nothing loaded
// yet), runs WinMain on a new thread of the process, ends the process, and
// waits in virtual time for all of it on the calling machine thread.
ProgramRun runProgramIn(Process& process, FileSystem& files, const std::string& file);

}  // namespace nrv
