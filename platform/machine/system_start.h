// What a system does with its disk as it starts, before any driver loads: the
// file operations left for the next start. Windows 2000's session manager
// carries out the pairs of PendingFileRenameOperations in order, then deletes
// the value; the Windows 98 family carries out the [Rename] section of
// WinInit.ini, then keeps the file as WININIT.BAK. Each system ignores the
// other's way.
#pragma once

#include <string>
#include <vector>

#include "base/os_profile.h"

namespace nrv {

class FileSystem;
class Registry;
class SystemLocale;

// One operation left for the next start, as the system will read it.
struct PendingFileOperation {
  std::string source;  // "PendingFileRenameOperations" or "WININIT.INI"
  std::string text;    // as StartFileOperation::text
  std::string from;    // the file it deletes or renames, as a path on drive C:; empty when not understood
  std::string to;      // where it renames the file to; empty for a deletion
  bool replace = false;
};

struct StartFileOperation {
  std::string source;   // "PendingFileRenameOperations" or "WININIT.INI"
  std::string text;     // the pair ("\??\C:\A.SYS" -> "") or the line ("NUL=C:\A.SYS") as written
  std::string outcome;  // "deleted", "renamed", "not found", "access denied", "not understood", ...
};

// What the next start will do, read without doing it.
std::vector<PendingFileOperation> pendingFileOperations(OsProfile profile, const Registry& registry,
                                                        const FileSystem& files, SystemLocale& locale);

std::vector<StartFileOperation> carryOutPendingFileOperations(OsProfile profile, Registry& registry,
                                                              FileSystem& files, SystemLocale& locale);

}  // namespace nrv
