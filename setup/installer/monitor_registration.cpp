// Registration of the port monitor with the spooler. A monitor that is
// registered already is no failure as long as the spooler can list its ports;
// every other refusal is shown to the person and returned.
#include "nrvusbin.h"

// The spooler lists its ports: asked for the size first, then into a buffer of that size.
static BOOL SpoolerListsPorts(VOID) {
  DWORD needed = 0;
  DWORD returned;
  LPBYTE ports;
  BOOL listed;

  if (EnumPortsA(NULL, 2, NULL, 0, &needed, &returned)) {
    return TRUE;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return FALSE;
  }
  ports = (LPBYTE)LocalAlloc(LMEM_FIXED, needed + 1);
  if (ports == NULL) {
    return FALSE;
  }
  listed = EnumPortsA(NULL, 2, ports, needed, &needed, &returned);
  LocalFree(ports);
  return listed;
}

static BOOL IsRegisteredAlready(DWORD Error) {
  return Error == ERROR_ALREADY_EXISTS || Error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED ||
         Error == ERROR_FILE_NOT_FOUND;
}

static VOID ReportFailure(DWORD Error, const MONITOR_INFO_2A *Monitor) {
  CHAR text[INSTALLER_TEXT_SIZE];

  Trace("    Error = %d\n", Error);
  Trace("    Monitor Name = %s\n", Monitor->pName);
  Trace("    Monitor DLL = %s\n", Monitor->pDLLName);
  Trace("    Environment = %s\n", Monitor->pEnvironment);
  LoadLanguageText(MSG_INSTALL_FAILED, text, INSTALLER_TEXT_SIZE);
  MessageBoxA(NULL, text, NULL, MB_ICONERROR);
}

DWORD RegisterPortMonitor(BYTE OsKind, DWORD Result) {
  CHAR name[INSTALLER_TEXT_SIZE];
  CHAR environment[INSTALLER_TEXT_SIZE];
  CHAR file[INSTALLER_TEXT_SIZE];
  MONITOR_INFO_2A monitor;
  DWORD error;

  LoadFixedText(IDS_MONITOR_NAME, name, INSTALLER_TEXT_SIZE);
  LoadFixedText(OsKind == OS_KIND_WINDOWS_2000 ? IDS_ENVIRONMENT_WINDOWS_2000 : IDS_ENVIRONMENT_WINDOWS_98,
                environment, INSTALLER_TEXT_SIZE);
  LoadFixedText(IDS_MONITOR_FILE, file, INSTALLER_TEXT_SIZE);
  monitor.pName = name;
  monitor.pEnvironment = environment;
  monitor.pDLLName = file;
  if (AddMonitorA(NULL, 2, (LPBYTE)&monitor)) {
    return Result;
  }
  error = GetLastError();
  if (IsRegisteredAlready(error)) {
    return SpoolerListsPorts() ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
  }
  ReportFailure(error, &monitor);
  return error;
}
