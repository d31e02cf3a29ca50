// A port's jobs as the spooler runs them: OpenPort hands out the record
// itself, StartDocPort opens the spooler's printer and the driver device,
// EndDocPort and ClosePort close them, SetPortTimeOuts changes a job's waits.
#include "nrvusbmn.h"

BOOL WINAPI OpenPort(LPSTR Name, PHANDLE Handle) {
  PortEntry *entry;

  EnterCriticalSection(&PortListLock);
  entry = FindPortEntry(Name);
  if (entry != NULL) {
    *Handle = (HANDLE)entry;
  }
  LeaveCriticalSection(&PortListLock);
  return entry != NULL;
}

static VOID ClosePrinterHandle(PortEntry *Entry) {
  if (Entry->PrinterHandle != NULL) {
    ClosePrinter(Entry->PrinterHandle);
    Entry->PrinterHandle = NULL;
  }
}

// The printer's own time-outs, or the defaults when they cannot be read.
static VOID FetchPrinterTimeouts(PortEntry *Entry) {
  ULONG_PTR buffer[(PRINTER_INFO_5_BUFFER_SIZE + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR)];
  PRINTER_INFO_5A *info = (PRINTER_INFO_5A *)buffer;
  DWORD needed = 0;

  if (Entry->PrinterHandle != NULL &&
      GetPrinterA(Entry->PrinterHandle, 5, (LPBYTE)buffer, PRINTER_INFO_5_BUFFER_SIZE, &needed)) {
    Entry->NotSelectedTimeout = info->DeviceNotSelectedTimeout;
    Entry->RetryTimeout = info->TransmissionRetryTimeout;
  } else {
    Entry->NotSelectedTimeout = DEFAULT_NOT_SELECTED_TIMEOUT;
    Entry->RetryTimeout = DEFAULT_RETRY_TIMEOUT;
  }
}

// The device of a job, opened unless a device is open already, with the job's
// default time-outs. FALSE with the last error when there is none.
static BOOL OpenJobDevice(PortEntry *Entry) {
  if (!(Entry->Flags & PORT_FLAG_VALID)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!PortDeviceOpen(Entry)) {
    Entry->DeviceHandle = OpenPortDevice(Entry->Name);
  }
  if (!PortDeviceOpen(Entry)) {
    return FALSE;
  }
  FetchPrinterTimeouts(Entry);
  Entry->WriteTimeout = DEFAULT_WRITE_TIMEOUT;
  Entry->ReadTimeout = DEFAULT_READ_TIMEOUT;
  Entry->ReadIntervalTimeout = DEFAULT_READ_INTERVAL_TIMEOUT;
  return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE Port, LPSTR PrinterName, DWORD JobId, DWORD Level, LPBYTE DocInfo) {
  PortEntry *entry = (PortEntry *)Port;
  BOOL result = FALSE;

  UNREFERENCED_PARAMETER(Level);
  UNREFERENCED_PARAMETER(DocInfo);
  EnterCriticalSection(&entry->PortLock);
  // A job that was never ended gives way to this one, after a pause.
  if (entry->Flags & PORT_FLAG_JOB_OPEN) {
    ClosePrinterHandle(entry);
    ClosePortDevice(entry);
    Sleep(JOB_RESTART_PAUSE);
  }
  entry->PrinterHandle = NULL;
  if (!OpenPrinterA(PrinterName, &entry->PrinterHandle, NULL)) {
    entry->PrinterHandle = NULL;
    SetLastError(ERROR_INVALID_HANDLE);
  } else {
    entry->WaitStartTick = 0;
    entry->JobId = JobId;
    entry->ReadBusy = 0;
    entry->WriteBusy = 0;
    result = OpenJobDevice(entry);
  }
  if (result) {
    SetPortFlags(entry, PORT_FLAG_JOB_OPEN);
  } else {
    ClosePrinterHandle(entry);
  }
  LeaveCriticalSection(&entry->PortLock);
  return result;
}

static VOID EndJob(PortEntry *Entry) {
  if (!(Entry->Flags & PORT_FLAG_JOB_OPEN)) {
    return;
  }
  ClosePrinterHandle(Entry);
  ClosePortDevice(Entry);
  Entry->ReadBusy = 0;
  Entry->WriteBusy = 0;
  ClearPortFlags(Entry, PORT_FLAG_JOB_OPEN);
}

BOOL WINAPI EndDocPort(HANDLE Port) {
  PortEntry *entry = (PortEntry *)Port;

  EnterCriticalSection(&entry->PortLock);
  EndJob(entry);
  LeaveCriticalSection(&entry->PortLock);
  return TRUE;
}

// The record stays listed; only the job and a device left open go.
BOOL WINAPI ClosePort(HANDLE Port) {
  PortEntry *entry = (PortEntry *)Port;

  EnterCriticalSection(&entry->PortLock);
  EndJob(entry);
  if (PortDeviceOpen(entry)) {
    DropPortDevice(entry);
  }
  LeaveCriticalSection(&entry->PortLock);
  return TRUE;
}

static DWORD AtLeast(DWORD Value, DWORD Minimum) { return Value < Minimum ? Minimum : Value; }

// Until the next StartDocPort, which sets the defaults again.
BOOL WINAPI SetPortTimeOuts(HANDLE Port, LPCOMMTIMEOUTS Timeouts, DWORD Reserved) {
  PortEntry *entry = (PortEntry *)Port;

  if (!(entry->Flags & PORT_FLAG_JOB_OPEN) || Reserved != 0) {
    return FALSE;
  }
  entry->WriteTimeout = AtLeast(Timeouts->WriteTotalTimeoutConstant, MINIMUM_IO_TIMEOUT);
  entry->ReadTimeout = AtLeast(Timeouts->ReadTotalTimeoutConstant, MINIMUM_IO_TIMEOUT);
  entry->ReadIntervalTimeout = AtLeast(Timeouts->ReadIntervalTimeout, MINIMUM_READ_INTERVAL_TIMEOUT);
  return TRUE;
}
