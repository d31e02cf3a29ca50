// Where the system starts the program's image, which carries no C runtime to
// do it: the entry gets the image's instance handle, and its result becomes
// the exit code of the process.
#include "nrvusbun.h"

extern "C" VOID WINAPI ProgramStart(VOID) {
  ExitProcess(WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), SW_SHOWDEFAULT));
}
