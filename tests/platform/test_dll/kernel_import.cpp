// A user-mode DLL that calls a kernel routine: it links on the host, where the
// kernel is a library like any other, but no Windows loader would resolve it.
#include <windows.h>

// Declared here: a user-mode source sees no kernel header.
extern "C" LONG KeReadStateEvent(PVOID Event);

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Instance);
  UNREFERENCED_PARAMETER(Reserved);
  if (Reason == 0xFFFF) return KeReadStateEvent(nullptr) != 0;
  return TRUE;
}
