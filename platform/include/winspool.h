// winspool: the spooler's port list and printers, as programs ask for them.
// The spooler answers on threads of its own process.
#pragma once

#include <windows.h>

typedef struct _PORT_INFO_1A {
  LPSTR pName;
} PORT_INFO_1A, *PPORT_INFO_1A, *LPPORT_INFO_1A;

typedef struct _PORT_INFO_2A {
  LPSTR pPortName;
  LPSTR pMonitorName;
  LPSTR pDescription;
  DWORD fPortType;
  DWORD Reserved;
} PORT_INFO_2A, *PPORT_INFO_2A, *LPPORT_INFO_2A;

#define PORT_TYPE_WRITE 0x0001
#define PORT_TYPE_READ 0x0002
#define PORT_TYPE_REDIRECTED 0x0004
#define PORT_TYPE_NET_ATTACHED 0x0008

// A printer's name, port and how long a job waits on it before it is in error.
typedef struct _PRINTER_INFO_5A {
  LPSTR pPrinterName;
  LPSTR pPortName;
  DWORD Attributes;
  DWORD DeviceNotSelectedTimeout;  // milliseconds
  DWORD TransmissionRetryTimeout;  // milliseconds
} PRINTER_INFO_5A, *PPRINTER_INFO_5A, *LPPRINTER_INFO_5A;

// What the spooler tells a port about the document a job prints.
typedef struct _DOC_INFO_1A {
  LPSTR pDocName;
  LPSTR pOutputFile;
  LPSTR pDatatype;
} DOC_INFO_1A, *PDOC_INFO_1A, *LPDOC_INFO_1A;

#define PRINTER_ATTRIBUTE_LOCAL 0x00000040

typedef struct _devicemodeA *LPDEVMODEA;

typedef struct _PRINTER_DEFAULTSA {
  LPSTR pDatatype;
  LPDEVMODEA pDevMode;
  ACCESS_MASK DesiredAccess;
} PRINTER_DEFAULTSA, *PPRINTER_DEFAULTSA, *LPPRINTER_DEFAULTSA;

WINSPOOLAPI BOOL WINAPI EnumPortsA(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                   LPDWORD pcReturned);
WINSPOOLAPI BOOL WINAPI DeletePortA(LPSTR pName, HWND hWnd, LPSTR pPortName);
WINSPOOLAPI BOOL WINAPI OpenPrinterA(LPSTR pPrinterName, PHANDLE phPrinter, LPPRINTER_DEFAULTSA pDefault);
WINSPOOLAPI BOOL WINAPI GetPrinterA(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf,
                                    LPDWORD pcbNeeded);
WINSPOOLAPI BOOL WINAPI ClosePrinter(HANDLE hPrinter);

// The machine's programs are ANSI programs.
#define EnumPorts EnumPortsA
#define DeletePort DeletePortA
#define OpenPrinter OpenPrinterA
#define GetPrinter GetPrinterA
#define PRINTER_INFO_5 PRINTER_INFO_5A
#define PRINTER_DEFAULTS PRINTER_DEFAULTSA
#define DOC_INFO_1 DOC_INFO_1A
