// A port monitor whose InitializeMonitorEx refuses, so that nrvsim can be seen
// ending a run whose spooler cannot use its monitor.
#include <windows.h>
#include <winsplp.h>

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Instance);
  UNREFERENCED_PARAMETER(Reason);
  UNREFERENCED_PARAMETER(Reserved);
  return TRUE;
}

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR RegistryRoot, LPMONITOR Monitor) {
  UNREFERENCED_PARAMETER(RegistryRoot);
  UNREFERENCED_PARAMETER(Monitor);
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
