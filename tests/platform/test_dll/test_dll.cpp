// A user-mode DLL for the machine's own tests: it records what its entry
// point was called with, and allocates memory of its own.
#include <windows.h>

extern "C" {

HINSTANCE attachedInstance;
DWORD* detachCounter;

BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  UNREFERENCED_PARAMETER(reserved);
  if (reason == DLL_PROCESS_ATTACH) attachedInstance = instance;
  if (reason == DLL_PROCESS_DETACH && detachCounter != nullptr) (*detachCounter)++;
  return TRUE;
}

// The instance the entry point was given; the detach is counted in the caller's counter.
HINSTANCE WINAPI TestDllWatch(DWORD* detaches) {
  detachCounter = detaches;
  return attachedInstance;
}

// A block the DLL's own code allocates, so that it is the DLL's.
HLOCAL WINAPI TestDllAllocate(SIZE_T bytes) { return LocalAlloc(LPTR, bytes); }

// Not in the .def file: the loader must not find it.
void WINAPI TestDllHidden(void) {}

}  // extern "C"
