// Files of the package are usually in use while it is removed (the driver is
// loaded, the spooler holds the monitor, the uninstaller runs): each is asked
// to go at the next start, through the session manager where the system has
// one (MoveFileExA takes the request) and through WinInit.ini where it does
// not, and is then deleted at once in case nothing holds it.
#include "setup_path.h"

// Win9xName: how the WinInit.ini trace line names the system.
static BOOLEAN ScheduleDelete(LPCSTR Path, LPCSTR Win9xName) {
  BOOLEAN result;

  if (MoveFileExA(Path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) {
    Trace("    Setup to remove file '%s' at Reboot (Windows 2000)\n", Path);
    result = TRUE;
  } else {
    result = AddWinInitRename("NUL", Path);
    if (result) {
      Trace("    Setup to remove file '%s' at Reboot (%s)\n", Path, Win9xName);
    } else {
      Trace("    Could not setup file '%s' to be removed\n", Path);
    }
  }
  DeleteFileA(Path);
  return result;
}

BOOLEAN ScheduleDeleteInSystemDir(LPCSTR FileName) {
  CHAR path[SETUP_PATH_SIZE];

  if (!SystemDirectoryPath(path, "\\") || !AppendToPath(path, FileName)) {
    return FALSE;
  }
  return ScheduleDelete(path, "Windows 95");
}

BOOLEAN ScheduleDeleteInDriversDir(LPCSTR FileName) {
  CHAR path[SETUP_PATH_SIZE];

  if (!WindowsDirectoryPath(path, "\\SYSTEM32\\DRIVERS\\") || !AppendToPath(path, FileName)) {
    return FALSE;
  }
  return ScheduleDelete(path, "Windows 98");
}

BOOLEAN ScheduleDeleteInWindowsDir(LPCSTR RelativePath) {
  CHAR path[SETUP_PATH_SIZE];

  if (!WindowsDirectoryPath(path, "\\") || !AppendToPath(path, RelativePath)) {
    return FALSE;
  }
  return ScheduleDelete(path, "Windows 98");
}
