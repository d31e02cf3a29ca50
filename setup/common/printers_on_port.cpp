// The spooler printers that print to one port, deleted. A printer whose port
// field lists several ports keeps printing to the others, so only a field
// that is the port alone matches.
#include "cleanup.h"

// A printer that cannot be opened is not ours to remove; one that opens but
// cannot be deleted makes the result FALSE.
static BOOLEAN DeletePrinterNamed(LPSTR PrinterName, LPSTR PortName) {
  PRINTER_DEFAULTSA defaults = {NULL, NULL, PRINTER_ALL_ACCESS};
  HANDLE printer;
  BOOLEAN deleted = TRUE;

  Trace("    Removing printer '%s', port '%s'\n", PrinterName, PortName);
  if (!OpenPrinterA(PrinterName, &printer, &defaults)) {
    return TRUE;
  }
  if (!DeletePrinter(printer)) {
    Trace("    Error deleting printer '%s', status =  0x%x\n", PrinterName, GetLastError());
    deleted = FALSE;
  }
  ClosePrinter(printer);
  return deleted;
}

BOOLEAN RemovePrintersOnPort(LPCSTR PortName) {
  DWORD needed = 0;
  DWORD returned = 0;
  LPBYTE buffer;
  PRINTER_INFO_5A *printers;
  BOOLEAN result = TRUE;
  DWORD index;

  if (EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 5, NULL, 0, &needed, &returned)) {
    Trace("     bytesNeeded=  0x%x\n", needed);
    Trace("     numPrinters=  0x%x\n", returned);
    return TRUE;
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    Trace("    Error 0x%x calling EnumPrinters for buffer size\n", GetLastError());
    return FALSE;
  }
  buffer = (LPBYTE)LocalAlloc(LMEM_FIXED, needed + 1);
  if (buffer == NULL) {
    return FALSE;
  }
  if (!EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 5, buffer, needed, &needed, &returned)) {
    Trace("    Error 0x%x calling EnumPrinters for printer list\n", GetLastError());
    LocalFree(buffer);
    return FALSE;
  }
  printers = (PRINTER_INFO_5A *)buffer;
  for (index = 0; index < returned; index++) {
    if (lstrcmpiA(printers[index].pPortName, PortName) == 0 &&
        !DeletePrinterNamed(printers[index].pPrinterName, printers[index].pPortName)) {
      result = FALSE;
    }
  }
  LocalFree(buffer);
  return result;
}
