// Which family of Windows the program runs on: the routines only ever ask
// whether it is the Windows 98 one, and only major version 5 is not.
#include "cleanup.h"

BYTE OsKindOfThisSystem(VOID) {
  return (GetVersion() & 0xFF) == 5 ? OS_KIND_WINDOWS_2000 : OS_KIND_WINDOWS_98;
}
