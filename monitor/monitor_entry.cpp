// The library's two exports: the entry point and the spooler's initialisation.
#include "nrvusbmn.h"

HINSTANCE ModuleInstance;

// Set once the list lock has been initialised: a second initialisation by the
// spooler must not reinitialise a lock another thread may hold.
static LONG PortListLockReady;

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Reserved);

  // Records, events, buffers and the list lock live as long as the process:
  // the spooler may still hold a port when it lets the library go, so nothing
  // is released on detach.
  if (Reason == DLL_PROCESS_ATTACH) {
    ModuleInstance = Instance;
  }
  return TRUE;
}

static VOID FillMonitorTable(LPMONITOR Monitor) {
  Monitor->pfnEnumPorts = EnumPorts;
  Monitor->pfnOpenPort = NULL;
  Monitor->pfnOpenPortEx = NULL;
  Monitor->pfnStartDocPort = NULL;
  Monitor->pfnWritePort = NULL;
  Monitor->pfnReadPort = NULL;
  Monitor->pfnEndDocPort = NULL;
  Monitor->pfnClosePort = NULL;
  Monitor->pfnAddPort = NULL;
  Monitor->pfnConfigurePort = NULL;
  Monitor->pfnDeletePort = NULL;
  Monitor->pfnGetPrinterDataFromPort = NULL;
  Monitor->pfnSetPortTimeOuts = NULL;
}

// The registry root is not used: the ports come from the driver's devices.
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR RegistryRoot, LPMONITOR Monitor) {
  UNREFERENCED_PARAMETER(RegistryRoot);

  if (InterlockedExchange(&PortListLockReady, 1) == 0) {
    InitializeCriticalSection(&PortListLock);
  }
  EnterCriticalSection(&PortListLock);
  ScanPorts();
  FillMonitorTable(Monitor);
  LeaveCriticalSection(&PortListLock);
  return TRUE;
}
