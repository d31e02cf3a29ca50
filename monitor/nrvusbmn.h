// NRVUSBMN: the spooler's port monitor for the printers of NRVUSB. One record
// per port the driver has ever named, kept until the port is deleted or the
// library is let go.
//
// Locks, in the order they are taken:
//   PortListLock  the list (Next links, additions and removals) and, for every record, Description,
//                 LastPrinterDescription and the PORT_FLAG_CONNECTED bit. Recursive: AddPortEntry takes
//                 it again around the allocation.
//   PortLock      one per record: the job and I/O fields, held for a whole job operation, waits included.
// Flags is the one field both sides change (the scan the connected bit under PortListLock, the job
// operations the job bit under PortLock), so every change of it is an interlocked AND or OR of the
// bits concerned: neither side can write back a stale copy of the other's bit.
#pragma once

// windows.h first: the others build on its types.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winspool.h>
// clang-format on

// The monitor's entries carry the names of the spooler's table; the client
// routines of the same names (ANSI and wide forms) are not ours.
#undef EnumPorts
#undef DeletePort

#include "language_base.h"
#include "printer_interface.h"
#include "string_table.h"
#include "usbprn_ioctl.h"

// Record signature: the bytes 'P', 'O', 0, 0.
#define PORT_ENTRY_SIGNATURE 0x4F50

#define PORT_FLAG_VALID 0x01
#define PORT_FLAG_JOB_OPEN 0x02
#define PORT_FLAG_CONNECTED 0x20

#define READ_BUFFER_SIZE 4096
// Reads without a read-ahead buffer ask the device for whole packets.
#define USB_PACKET_SIZE 64

// Waits and time-outs of a job, in milliseconds.
#define DEFAULT_WRITE_TIMEOUT 3000
#define DEFAULT_READ_TIMEOUT 1500
#define DEFAULT_READ_INTERVAL_TIMEOUT 200
#define MINIMUM_IO_TIMEOUT 500
#define MINIMUM_READ_INTERVAL_TIMEOUT 100
#define JOB_RESTART_PAUSE 100
#define DEFAULT_RETRY_TIMEOUT 45000
#define DEFAULT_NOT_SELECTED_TIMEOUT 15000
#define CANCELLED_WRITE_WAIT 3000
#define CANCELLED_READ_WAIT 5000

// The printer class port status byte; the value taken when it cannot be read.
#define PORT_STATUS_PAPER_EMPTY 0x20
#define PORT_STATUS_SELECTED 0x10
#define PORT_STATUS_NO_ERROR 0x08
#define PORT_STATUS_UNKNOWN 0xDF

// The driver's completion statuses, as an OVERLAPPED's Internal field holds them.
#define DRIVER_STATUS_SUCCESS ((ULONG_PTR)0x00000000)
#define DRIVER_STATUS_PENDING ((ULONG_PTR)0x00000103)
#define DRIVER_STATUS_CANCELLED ((ULONG_PTR)0xC0000120)

// The buffer the printer's level-5 record is read into.
#define PRINTER_INFO_5_BUFFER_SIZE 540

typedef struct PortEntry {
  DWORD Signature;
  LONG Size;  // the fixed part, the name and its NUL
  struct PortEntry *Next;
  LPSTR Name;  // stored just after the fixed part; never changes
  LPSTR Description;
  LPSTR LastPrinterDescription;
  volatile DWORD Flags;  // changed only by SetPortFlags and ClearPortFlags
  HANDLE DeviceHandle;
  HANDLE PrinterHandle;
  DWORD JobId;
  DWORD RetryTimeout;
  DWORD NotSelectedTimeout;
  DWORD WriteTimeout;
  DWORD ReadTimeout;
  DWORD ReadIntervalTimeout;
  DWORD WaitStartTick;
  DWORD ReadBusy;
  DWORD WriteBusy;
  CRITICAL_SECTION PortLock;
  OVERLAPPED WriteOverlapped;
  OVERLAPPED ReadOverlapped;
  LPBYTE ReadBuffer;
  DWORD ReadBufferCount;
} PortEntry;

// The spooler's table of a monitor's entries, in the thirteen-entry layout of
// the Windows 98 spooler (no AddPortEx), all text ANSI. Declared here because
// the cross build's system headers give only the later, longer layout.
typedef struct MONITOR {
  BOOL(WINAPI *pfnEnumPorts)
  (LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned);
  BOOL(WINAPI *pfnOpenPort)(LPSTR pName, PHANDLE pHandle);
  BOOL(WINAPI *pfnOpenPortEx)(LPSTR pPortName, LPSTR pPrinterName, PHANDLE pHandle, struct MONITOR *pMonitor);
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

// String table: language-independent texts at fixed identifiers, texts for
// people at LanguageBase() plus an offset.
#define IDS_MONITOR_NAME 3
#define TEXT_UNKNOWN_PRINTER 0
#define TEXT_PORT_NOT_CONNECTED 1

// Every text of the table fits this buffer.
#define TEXT_BUFFER_SIZE 256
// Registry value sizes the driver's values must fit.
#define PORT_NAME_VALUE_SIZE 64
#define DEVICE_ID_VALUE_SIZE 1024
// Longest field value taken from a device ID.
#define ID_FIELD_MAX_LENGTH 255

extern PortEntry *PortList;
extern CRITICAL_SECTION PortListLock;

// Entry points.
extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved);
extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR RegistryRoot, LPMONITOR Monitor);
BOOL WINAPI EnumPorts(LPSTR ServerName, DWORD Level, LPBYTE Buffer, DWORD BufferSize, LPDWORD Needed,
                      LPDWORD Returned);
BOOL WINAPI OpenPort(LPSTR Name, PHANDLE Handle);
BOOL WINAPI StartDocPort(HANDLE Port, LPSTR PrinterName, DWORD JobId, DWORD Level, LPBYTE DocInfo);
BOOL WINAPI WritePort(HANDLE Port, LPBYTE Buffer, DWORD Size, LPDWORD Written);
BOOL WINAPI ReadPort(HANDLE Port, LPBYTE Buffer, DWORD Size, LPDWORD Read);
BOOL WINAPI EndDocPort(HANDLE Port);
BOOL WINAPI ClosePort(HANDLE Port);
BOOL WINAPI DeletePort(LPSTR ServerName, HWND Window, LPSTR PortName);
BOOL WINAPI GetPrinterDataFromPort(HANDLE Port, DWORD ControlId, LPSTR ValueName, LPSTR InBuffer, DWORD InSize,
                                   LPSTR OutBuffer, DWORD OutSize, LPDWORD Returned);
BOOL WINAPI SetPortTimeOuts(HANDLE Port, LPCOMMTIMEOUTS Timeouts, DWORD Reserved);

// Owned texts, from the local heap. NULL for an allocation that failed.
LPSTR CopyText(LPCSTR Text);
VOID FreeText(LPSTR Text);

// The port list. Callers hold PortListLock.
PortEntry *FindPortEntry(LPCSTR Name);
PortEntry *AddPortEntry(LPCSTR Name, LPCSTR Description);
BOOL SetPortDescription(PortEntry *Entry, LPCSTR Text);
VOID SetLastPrinterDescription(PortEntry *Entry, LPCSTR Text);
VOID CreatePortKey(LPCSTR Name);
VOID FreePortEntry(PortEntry *Entry);
// Empties the list when the library is let go; no thread may be in the monitor.
VOID FreePortList(VOID);
VOID SetPortFlags(PortEntry *Entry, DWORD Bits);
VOID ClearPortFlags(PortEntry *Entry, DWORD Bits);

// Refreshes the list from the driver's devices. Caller holds PortListLock.
VOID ScanPorts(VOID);
// A value of a device's hardware key, read into Size + 1 zeroed bytes so that it ends in a NUL.
BOOL ReadDeviceValue(HKEY Key, LPCSTR Name, LPSTR Buffer, DWORD Size);

// The driver device of a port. Callers hold the record's PortLock.
BOOL PortDeviceOpen(PortEntry *Entry);
// The present printer's device with that port name, or INVALID_HANDLE_VALUE and ERROR_FILE_NOT_FOUND.
HANDLE OpenPortDevice(LPCSTR PortName);
// Cancels the transfers in progress, then closes the device.
VOID ClosePortDevice(PortEntry *Entry);
// Closes the device as it stands.
VOID DropPortDevice(PortEntry *Entry);
BOOL SendPipeRequest(PortEntry *Entry, DWORD ControlCode, BYTE Pipe);
// The printer's status byte, PORT_STATUS_UNKNOWN when it cannot be had.
BYTE ReadPortStatus(PortEntry *Entry);

// One KEY:value field of an IEEE 1284 device ID, the long key tried first.
// Output holds Maximum characters and a NUL.
BOOL ExtractIdField(LPCSTR DeviceId, LPCSTR Key, LPCSTR ShortKey, LPSTR Output, DWORD Maximum);
