// The library's two exports: the entry point and the spooler's initialisation.
#include "nrvusbmn.h"

HINSTANCE ModuleInstance;

// Set once the list lock has been initialised: a second initialisation by the
// spooler must not reinitialise a lock another thread may hold.
static LONG PortListLockReady;

// A library let go with FreeLibrary has no code left for anyone to call, so
// every record, event and buffer goes with it. At the end of the process
// (Reserved set) other threads were stopped wherever they stood, possibly
// inside the list lock, and the system reclaims everything: nothing is touched.
static VOID ReleaseMonitor(VOID) {
  if (InterlockedExchange(&PortListLockReady, 0) != 0) {
    FreePortList();
    DeleteCriticalSection(&PortListLock);
  }
}

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  if (Reason == DLL_PROCESS_ATTACH) {
    ModuleInstance = Instance;
  } else if (Reason == DLL_PROCESS_DETACH && Reserved == NULL) {
    ReleaseMonitor();
  }
  return TRUE;
}

// Ports cannot be added or configured through the monitor: those entries stay empty.
static VOID FillMonitorTable(LPMONITOR Monitor) {
  Monitor->pfnEnumPorts = EnumPorts;
  Monitor->pfnOpenPort = OpenPort;
  Monitor->pfnOpenPortEx = NULL;
  Monitor->pfnStartDocPort = StartDocPort;
  Monitor->pfnWritePort = WritePort;
  Monitor->pfnReadPort = ReadPort;
  Monitor->pfnEndDocPort = EndDocPort;
  Monitor->pfnClosePort = ClosePort;
  Monitor->pfnAddPort = NULL;
  Monitor->pfnConfigurePort = NULL;
  Monitor->pfnDeletePort = DeletePort;
  Monitor->pfnGetPrinterDataFromPort = GetPrinterDataFromPort;
  Monitor->pfnSetPortTimeOuts = SetPortTimeOuts;
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
