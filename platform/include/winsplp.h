// The spooler's side of a port monitor: the table of entries a monitor hands
// to InitializeMonitorEx, in the thirteen-entry layout of the Windows 95/98
// spooler (no AddPortEx), every text ANSI.
#pragma once

#include <winspool.h>

typedef struct _MONITOR {
  BOOL(WINAPI *pfnEnumPorts)
  (LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
  BOOL(WINAPI *pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
  BOOL(WINAPI *pfnOpenPortEx)
  (LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, struct _MONITOR *pMonitor);
  BOOL(WINAPI *pfnStartDocPort)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
  BOOL(WINAPI *pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
  BOOL(WINAPI *pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
  BOOL(WINAPI *pfnEndDocPort)(HANDLE hPort);
  BOOL(WINAPI *pfnClosePort)(HANDLE hPort);
  BOOL(WINAPI *pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
  BOOL(WINAPI *pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
  BOOL(WINAPI *pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
  BOOL(WINAPI *pfnGetPrinterDataFromPort)
  (HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
   DWORD cbOutBuffer, LPDWORD lpcbReturned);
  BOOL(WINAPI *pfnSetPortTimeOuts)(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
} MONITOR, *LPMONITOR;

// What a port monitor exports for the spooler to call once it is loaded.
EXTERN_C BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor);
