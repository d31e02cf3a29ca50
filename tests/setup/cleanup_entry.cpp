// The entry of the libraries the tests load the clean-up routines in: it keeps
// the instance handle the routines load their strings with, as each program does.
#include "cleanup.h"

HINSTANCE ModuleInstance;

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Reserved);
  if (Reason == DLL_PROCESS_ATTACH) {
    ModuleInstance = Instance;
  }
  return TRUE;
}
