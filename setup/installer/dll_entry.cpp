// The library's entry: it keeps the instance handle its texts are loaded through.
#include "nrvusbin.h"

HINSTANCE ModuleInstance;

BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Reserved);
  if (Reason == DLL_PROCESS_ATTACH) {
    ModuleInstance = Instance;
  }
  return TRUE;
}
