// Paths the routines compose in buffers of SETUP_PATH_SIZE bytes. A path that
// does not fit is refused whole: cut short, it could name another file.
#pragma once

#include "cleanup.h"

// Appends Tail to the path; FALSE, with the path unchanged, when it would not fit.
BOOL AppendToPath(LPSTR Path, LPCSTR Tail);
// The Windows directory with Tail after it.
BOOL WindowsDirectoryPath(LPSTR Path, LPCSTR Tail);
// The system directory with Tail after it.
BOOL SystemDirectoryPath(LPSTR Path, LPCSTR Tail);
