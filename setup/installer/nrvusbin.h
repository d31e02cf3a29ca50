// NRVUSBIN: the installer library the printer's installation procedure calls.
// It checks that the installed driver and port monitor belong together,
// warns on systems the package was not tested on, switches off the USB
// stack's serial numbers when printers without one would share them, and
// registers the port monitor with the spooler. It talks to the person only
// through message boxes.
#pragma once

#include "cleanup.h"

// Strings of the first block of the table, the same in every language.
#define IDS_MONITOR_NAME 1
#define IDS_ENVIRONMENT_WINDOWS_98 2
#define IDS_MONITOR_FILE 3
#define IDS_ENVIRONMENT_WINDOWS_2000 4
#define IDS_DRIVER_FILE 10
#define IDS_PRINTER_PORTS_MRU_KEY 20
#define IDS_LPTENUM_KEY 21

// Messages: offsets in the language block.
#define MSG_INSTALL_FAILED 0
#define MSG_RESTART_NEEDED 2
#define MSG_RESTART_CAPTION 3
#define MSG_WINDOWS_VERSION 4
#define MSG_OPERATING_SYSTEM 5

// Every text the installer loads fits this buffer.
#define INSTALLER_TEXT_SIZE 256

// The exports return error codes: ERROR_SUCCESS; ERROR_NOT_SUPPORTED when the
// person declined a warning or a restart was asked for; ERROR_ALREADY_EXISTS
// when the versions differ, or when the monitor exists and the spooler cannot
// list its ports; else the spooler's reason for refusing the monitor.

extern "C" {

BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved);
DWORD WINAPI CheckVersion(VOID);
DWORD WINAPI InstallPortMonitor(VOID);

}  // extern "C"

// The steps of InstallPortMonitor.
DWORD CheckOperatingSystem(BYTE *OsKind);
int NumberOfDevices(VOID);
DWORD SwitchOffSerialNumbers(BYTE OsKind);
DWORD RegisterPortMonitor(BYTE OsKind, DWORD Result);
