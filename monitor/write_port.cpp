// WritePort: one overlapped write to the printer, waited for in slices of
// WriteTimeout. After each slice the port status decides how long the printer
// may stall in all (RetryTimeout while it is selected, NotSelectedTimeout
// otherwise); past that the write is cancelled and the job hears why.
#include "nrvusbmn.h"

// The elapsed time is compared, modulo 2^32, so that a stall spanning the
// tick count's wrap still gets its whole limit. A limit of 0 never elapses.
static BOOL RetryTimeoutElapsed(PortEntry *Entry, DWORD Limit) {
  DWORD now;

  if (Limit == 0) {
    return FALSE;
  }
  now = GetTickCount();
  if (Entry->WaitStartTick == 0) {
    Entry->WaitStartTick = now;
  }
  if (now - Entry->WaitStartTick < Limit) {
    return FALSE;
  }
  Entry->WaitStartTick = 0;
  return TRUE;
}

// Why a printer stalled, from its status byte.
static DWORD StallError(BYTE Status) {
  BOOL paperEmpty = (Status & PORT_STATUS_PAPER_EMPTY) != 0;
  BOOL selected = (Status & PORT_STATUS_SELECTED) != 0;
  BOOL noError = (Status & PORT_STATUS_NO_ERROR) != 0;

  if (paperEmpty && noError && selected) {
    return ERROR_NOT_READY;
  }
  if (paperEmpty) {
    return ERROR_OUT_OF_PAPER;
  }
  if (!noError) {
    return ERROR_IO_DEVICE;
  }
  if (selected) {
    return ERROR_COUNTER_TIMEOUT;
  }
  return ERROR_NOT_READY;
}

// A write the driver has ended. Bytes moved or success end it well. A write
// that succeeded without moving a byte met a stalled pipe, which the driver
// leaves halted: it is reset, or the spooler's next try would meet it again.
static BOOL CompletedWrite(PortEntry *Entry, DWORD Size, LPDWORD Written, BOOL Wait) {
  ULONG_PTR status;

  GetOverlappedResult(Entry->DeviceHandle, &Entry->WriteOverlapped, Written, Wait);
  status = Entry->WriteOverlapped.Internal;
  if (*Written > 0 || status == DRIVER_STATUS_SUCCESS) {
    if (*Written == 0 && Size > 0) {
      SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_OUT);
    }
    return TRUE;
  }
  SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_OUT);
  return status == DRIVER_STATUS_CANCELLED || status == DRIVER_STATUS_PENDING;
}

// The wait itself failed: the write is cancelled, or the device let go when
// even that is refused.
static VOID AbandonWrite(PortEntry *Entry) {
  if (!SendPipeRequest(Entry, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, USBPRN_PIPE_BULK_OUT)) {
    ClosePortDevice(Entry);
  } else {
    SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_OUT);
  }
}

// The stall passed its limit: the write is cancelled and, once it has ended,
// the error follows the status byte. No error when the cancelled write did not
// end in time or ended with a failure of its own.
static VOID GiveUpWrite(PortEntry *Entry, BYTE Status, LPDWORD Written, DWORD *Error) {
  ULONG_PTR status;

  if (!SendPipeRequest(Entry, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, USBPRN_PIPE_BULK_OUT)) {
    ClosePortDevice(Entry);
    return;
  }
  *Error = StallError(Status);
  if (WaitForSingleObject(Entry->WriteOverlapped.hEvent, CANCELLED_WRITE_WAIT) != WAIT_OBJECT_0) {
    *Error = 0;
  } else {
    GetOverlappedResult(Entry->DeviceHandle, &Entry->WriteOverlapped, Written, FALSE);
    status = Entry->WriteOverlapped.Internal;
    if (*Written == 0 && status != DRIVER_STATUS_SUCCESS && status != DRIVER_STATUS_CANCELLED &&
        status != DRIVER_STATUS_PENDING) {
      *Error = 0;
    }
  }
  SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_OUT);
}

static BOOL WaitForWrite(PortEntry *Entry, DWORD Size, LPDWORD Written, DWORD *Error) {
  for (;;) {
    DWORD wait = WaitForSingleObject(Entry->WriteOverlapped.hEvent, Entry->WriteTimeout);
    BYTE status;
    if (wait == WAIT_OBJECT_0) {
      return CompletedWrite(Entry, Size, Written, FALSE);
    }
    if (wait != WAIT_TIMEOUT) {
      AbandonWrite(Entry);
      return FALSE;
    }
    status = ReadPortStatus(Entry);
    if (RetryTimeoutElapsed(
            Entry, (status & PORT_STATUS_SELECTED) ? Entry->RetryTimeout : Entry->NotSelectedTimeout)) {
      GiveUpWrite(Entry, status, Written, Error);
      return FALSE;
    }
  }
}

BOOL WINAPI WritePort(HANDLE Port, LPBYTE Buffer, DWORD Size, LPDWORD Written) {
  PortEntry *entry = (PortEntry *)Port;
  DWORD error = 0;
  BOOL result;

  EnterCriticalSection(&entry->PortLock);
  *Written = 0;
  if (!PortDeviceOpen(entry) || entry->WriteBusy) {
    SetLastError(PortDeviceOpen(entry) ? ERROR_BUSY : 0);
    LeaveCriticalSection(&entry->PortLock);
    return FALSE;
  }
  entry->WriteBusy = 1;
  entry->WaitStartTick = 0;
  if (WriteFile(entry->DeviceHandle, Buffer, Size, Written, &entry->WriteOverlapped)) {
    result = CompletedWrite(entry, Size, Written, TRUE);
  } else {
    result = WaitForWrite(entry, Size, Written, &error);
  }
  entry->WaitStartTick = 0;
  SetLastError(result ? 0 : error);
  entry->WriteBusy = 0;
  LeaveCriticalSection(&entry->PortLock);
  return result;
}
