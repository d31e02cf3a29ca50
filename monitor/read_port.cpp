// ReadPort: the printer's replies. With a read-ahead buffer every device read
// asks for 4096 bytes and what the caller cannot take waits for the next
// call; without one the caller's buffer is read into, in whole packets.
#include "nrvusbmn.h"

static BOOL HarmlessStatus(ULONG_PTR Status) {
  return Status == DRIVER_STATUS_CANCELLED || Status == DRIVER_STATUS_PENDING;
}

// Bytes an earlier read brought, handed over without touching the device.
static VOID HandOverReadAhead(PortEntry *Entry, LPBYTE Buffer, DWORD Size, LPDWORD Read) {
  *Read = Entry->ReadBufferCount < Size ? Entry->ReadBufferCount : Size;
  CopyMemory(Buffer, Entry->ReadBuffer, *Read);
  MoveMemory(Entry->ReadBuffer, Entry->ReadBuffer + *Read, Entry->ReadBufferCount - *Read);
  Entry->ReadBufferCount -= *Read;
}

// A read the driver has ended. A failure resets the IN pipe; then only a
// cancelled or pending read keeps what it brought.
static BOOL CompletedRead(PortEntry *Entry, LPDWORD Read, DWORD *Error) {
  ULONG_PTR status;

  GetOverlappedResult(Entry->DeviceHandle, &Entry->ReadOverlapped, Read, FALSE);
  status = Entry->ReadOverlapped.Internal;
  if (status == DRIVER_STATUS_SUCCESS) {
    return TRUE;
  }
  SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_IN);
  *Error = 0;
  if (HarmlessStatus(status)) {
    return TRUE;
  }
  *Read = 0;
  return FALSE;
}

// The read is cancelled; FALSE when the device had to be let go instead.
static BOOL CancelRead(PortEntry *Entry) {
  if (SendPipeRequest(Entry, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, USBPRN_PIPE_BULK_IN)) {
    return TRUE;
  }
  DropPortDevice(Entry);
  return FALSE;
}

// The wait failed, or a cancelled read did not end: cancel it (again) and
// give it one more while before the pipe is reset.
static VOID AbandonRead(PortEntry *Entry) {
  if (CancelRead(Entry)) {
    WaitForSingleObject(Entry->ReadOverlapped.hEvent, CANCELLED_READ_WAIT);
    SendPipeRequest(Entry, IOCTL_USBPRN_RESET_BULK_PIPE, USBPRN_PIPE_BULK_IN);
  }
}

// A read still running after ReadTimeout: cancelled, and taken as it ends.
static BOOL TimedOutRead(PortEntry *Entry, LPDWORD Read, DWORD *Error) {
  *Error = ERROR_COUNTER_TIMEOUT;
  if (!CancelRead(Entry)) {
    return FALSE;
  }
  if (WaitForSingleObject(Entry->ReadOverlapped.hEvent, CANCELLED_READ_WAIT) == WAIT_OBJECT_0) {
    return CompletedRead(Entry, Read, Error);
  }
  AbandonRead(Entry);
  return FALSE;
}

static BOOL ReadDevice(PortEntry *Entry, LPBYTE Target, DWORD Length, LPDWORD Read, DWORD *Error) {
  DWORD wait;

  if (ReadFile(Entry->DeviceHandle, Target, Length, Read, &Entry->ReadOverlapped)) {
    return CompletedRead(Entry, Read, Error);
  }
  wait = WaitForSingleObject(Entry->ReadOverlapped.hEvent, Entry->ReadTimeout);
  if (wait == WAIT_OBJECT_0) {
    return CompletedRead(Entry, Read, Error);
  }
  if (wait == WAIT_TIMEOUT) {
    return TimedOutRead(Entry, Read, Error);
  }
  AbandonRead(Entry);
  return FALSE;
}

// What the device brought goes to the caller; the excess over the caller's
// size stays at the start of the read-ahead buffer.
static VOID DeliverRead(PortEntry *Entry, LPBYTE Buffer, DWORD Size, LPDWORD Read) {
  Entry->ReadBufferCount = 0;
  if (Entry->ReadBuffer == NULL) {
    return;
  }
  CopyMemory(Buffer, Entry->ReadBuffer, *Read < Size ? *Read : Size);
  if (*Read > Size) {
    MoveMemory(Entry->ReadBuffer, Entry->ReadBuffer + Size, *Read - Size);
    Entry->ReadBufferCount = *Read - Size;
    *Read = Size;
  }
}

BOOL WINAPI ReadPort(HANDLE Port, LPBYTE Buffer, DWORD Size, LPDWORD Read) {
  PortEntry *entry = (PortEntry *)Port;
  DWORD error = 0;
  BOOL result = TRUE;
  LPBYTE target;
  DWORD length;

  EnterCriticalSection(&entry->PortLock);
  *Read = 0;
  if (!PortDeviceOpen(entry) || entry->ReadBusy) {
    SetLastError(PortDeviceOpen(entry) ? ERROR_BUSY : 0);
    LeaveCriticalSection(&entry->PortLock);
    return FALSE;
  }
  entry->ReadBusy = 1;
  target = entry->ReadBuffer;
  length = READ_BUFFER_SIZE;
  if (entry->ReadBuffer == NULL) {
    target = Buffer;
    ZeroMemory(Buffer, Size);
    length = Size & ~(DWORD)(USB_PACKET_SIZE - 1);
  }
  if (entry->ReadBuffer != NULL && entry->ReadBufferCount > 0) {
    HandOverReadAhead(entry, Buffer, Size, Read);
  } else if (length > 0) {
    result = ReadDevice(entry, target, length, Read, &error);
    if (*Read > 0) {
      error = 0;
    }
    if (error == 0) {
      result = TRUE;
    }
    DeliverRead(entry, Buffer, Size, Read);
  }
  SetLastError(error);
  entry->ReadBusy = 0;
  LeaveCriticalSection(&entry->PortLock);
  return result;
}
