#include "setup_path.h"

BOOL AppendToPath(LPSTR Path, LPCSTR Tail) {
  int used = lstrlenA(Path);

  if (used + lstrlenA(Tail) >= SETUP_PATH_SIZE) {
    return FALSE;
  }
  lstrcpyA(Path + used, Tail);
  return TRUE;
}

// Length: what the directory call returned; 0 is a failure, and a length that
// does not leave room for the NUL means the directory did not fit.
static BOOL DirectoryThen(LPSTR Path, UINT Length, LPCSTR Tail) {
  if (Length == 0 || Length >= SETUP_PATH_SIZE) {
    return FALSE;
  }
  return AppendToPath(Path, Tail);
}

BOOL WindowsDirectoryPath(LPSTR Path, LPCSTR Tail) {
  return DirectoryThen(Path, GetWindowsDirectoryA(Path, SETUP_PATH_SIZE), Tail);
}

BOOL SystemDirectoryPath(LPSTR Path, LPCSTR Tail) {
  return DirectoryThen(Path, GetSystemDirectoryA(Path, SETUP_PATH_SIZE), Tail);
}
