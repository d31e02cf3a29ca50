// A user-mode DLL whose resource section is no resource directory: the loader
// must refuse it, as it refuses an image it cannot read.
#include <windows.h>

__attribute__((section(".rsrc"), used)) static const unsigned char kResourceSection[] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0};

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  UNREFERENCED_PARAMETER(instance);
  UNREFERENCED_PARAMETER(reason);
  UNREFERENCED_PARAMETER(reserved);
  return TRUE;
}
