// The clean-up routines both setup programs carry: they remove what the system
// built around a printer of NRVUSB (its spooler printers, its port, the port's
// place in the recently used list, the child printer device and the USB
// device with its keys), schedule files for removal at the next start, and ask
// for a restart. Each program supplies its own trace prefix and its own
// RemoveDevices; the routines keep no state between calls.
#pragma once

// windows.h first: the others build on its types.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <devguid.h>
#include <winspool.h>
// clang-format on

#include "printer_interface.h"
#include "string_table.h"

// OsKind: what GetVersion says about the system the program runs on.
#define OS_KIND_WINDOWS_98 1
#define OS_KIND_WINDOWS_2000 2

// Every path the routines compose, and every text they load, fits this buffer.
#define SETUP_PATH_SIZE 260
#define SETUP_TEXT_SIZE 261
// Registry buffers, in bytes.
#define DEVICE_PORT_NAME_SIZE 64
#define INF_PATH_SIZE 64
#define PRINTER_PORT_NAME_SIZE 516
#define MRU_ENTRY_SIZE 64
#define LPTENUM_DEVICE_NAME_SIZE 256
#define LPTENUM_INSTANCE_NAME_SIZE 516
// "USB\VID_vvvv&PID_pppp": the part of a hardware ID that names the model.
#define HARDWARE_ID_LENGTH 21
#define HARDWARE_ID_SIZE (HARDWARE_ID_LENGTH + 1)

// C names: the routines are found by name in the libraries the tests load.
extern "C" {

// The trace line of each program begins with this ("UnInstaller:", "InstallPortMonitor:").
extern const char TracePrefix[];

BYTE OsKindOfThisSystem(VOID);

// Formats a progress or failure line after the program's prefix; the shipped
// programs keep no log, so the line goes nowhere.
VOID Trace(LPCSTR Format, ...);
// The same with a prefix of the caller's choosing.
VOID TraceWithPrefix(LPCSTR Prefix, LPCSTR Format, ...);

// Case of ASCII letters ignored: whether Text begins with Pattern, and where
// Pattern first occurs in Text (NULL when nowhere).
BOOL StartsWithNoCase(LPCSTR Text, LPCSTR Pattern);
LPSTR FindTextNoCase(LPSTR Text, LPCSTR Pattern);

// Removal at the next start (and at once when the file is not in use).
BOOLEAN ScheduleDeleteInSystemDir(LPCSTR FileName);
BOOLEAN ScheduleDeleteInDriversDir(LPCSTR FileName);
BOOLEAN ScheduleDeleteInWindowsDir(LPCSTR RelativePath);
BOOLEAN AddWinInitRename(LPCSTR Target, LPCSTR Source);

// Printers, ports and devices.
BOOLEAN RemovePrintersOnPort(LPCSTR PortName);
BOOLEAN RemovePortFromMru(LPCSTR KeyPath, LPCSTR PortName);
BOOLEAN RemoveLptEnumDevices(LPCSTR PortName, BYTE OsKind);
// Both programs' last steps for a port whose device went: printers, the port
// itself and, on Windows 98, its entry in the list named by string MruKeyStringId.
VOID RemovePortOfDevice(LPCSTR PortName, BYTE OsKind, UINT MruKeyStringId);
// PortName of a device key into a zeroed buffer of DEVICE_PORT_NAME_SIZE bytes.
BOOL ReadDevicePortName(HKEY DeviceKey, LPSTR PortName);
// Makes the spooler list its ports afresh.
VOID RefreshSpoolerPorts(VOID);
// Every device of the printers' interface class (only attached ones with DIGCF_PRESENT).
HDEVINFO OpenPrinterDevices(DWORD PresentFlag);

// One variant per program: the installer's removes attached devices only and
// returns 1, the uninstaller's removes every device and returns whether one
// had an INF file.
BOOLEAN RemoveDevices(BYTE OsKind);
BOOLEAN RemoveLptEnumKeys(LPCSTR KeyPath, LPCSTR PortName);
BOOLEAN GetHardwareId(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPSTR HardwareId);
BOOLEAN RemoveEnumKey(HDEVINFO DeviceInfoSet, LPCSTR HardwareId);

// The restart both programs offer.
BOOL EnablePrivilege(LPCSTR PrivilegeName);
VOID RestartComputer(VOID);

}  // extern "C"
