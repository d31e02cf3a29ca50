// A port monitor for the spooler's own tests, built as a monitor DLL is: it
// lists the ports its control block holds, with the buffer arithmetic of a
// monitor (structures from the start, strings from the end), and deletes them;
// it takes jobs on them as its script says, opening the job's printer in
// StartDocPort to read its timeouts as a monitor does, and records each call.
// Built three times: TESTMON (every entry), TESTMON2 (no DeletePort entry,
// ports of its own) and TESTMONX (its InitializeMonitorEx refuses).
#include "test_monitor.h"

#include <windows.h>
#include <winsplp.h>

#ifndef TEST_MONITOR_PORT
#define TEST_MONITOR_PORT "TEST"
#endif

static TestMonitorControl Control;

static DWORD Length(LPCSTR Text) {
  DWORD length = 0;
  while (Text[length] != 0) length++;
  return length;
}

static VOID Copy(LPSTR To, LPCSTR From, DWORD Room) {
  DWORD at = 0;
  for (; From[at] != 0 && at + 1 < Room; at++) To[at] = From[at];
  To[at] = 0;
}

static BOOL SameName(LPCSTR A, LPCSTR B) {
  for (;; A++, B++) {
    CHAR a = (*A >= 'a' && *A <= 'z') ? (CHAR)(*A - 32) : *A;
    CHAR b = (*B >= 'a' && *B <= 'z') ? (CHAR)(*B - 32) : *B;
    if (a != b) return FALSE;
    if (a == 0) return TRUE;
  }
}

static VOID Observe(LPCSTR Entry) {
  if (Control.Observe != NULL) Control.Observe(Entry, Control.Context);
}

static LPCSTR DescriptionOf(DWORD Index) {
  return Control.Descriptions[Index][0] != 0 ? Control.Descriptions[Index] : NULL;
}

static DWORD TextSize(LPCSTR Text) { return Text != NULL ? Length(Text) + 1 : 0; }

static LPSTR Pack(LPCSTR Text, LPBYTE *End) {
  if (Text == NULL) return NULL;
  DWORD size = Length(Text) + 1;
  *End -= size;
  for (DWORD at = 0; at < size; at++) (*End)[at] = (BYTE)Text[at];
  return (LPSTR)*End;
}

static VOID AddGrownPort(VOID) {
  DWORD index = Control.PortCount++;
  Copy(Control.Names[index], "GROWN0:", sizeof(Control.Names[index]));
  Control.Names[index][5] = (CHAR)('0' + index);
  Control.Descriptions[index][0] = 0;
  Control.GrowAfterSizeQuery--;
}

static BOOL WINAPI TestEnumPorts(LPSTR Name, DWORD Level, LPBYTE Buffer, DWORD Size, LPDWORD Needed,
                                 LPDWORD Returned) {
  UNREFERENCED_PARAMETER(Name);
  Observe("EnumPorts");
  // The spooler may call from two threads at once; the rest of the block is only read then.
  __atomic_add_fetch(&Control.EnumPortsCalls, 1, __ATOMIC_RELAXED);
  if (Control.EnumPortsError != 0) {
    SetLastError(Control.EnumPortsError);
    return FALSE;
  }
  if (Level != 1 && Level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  DWORD needed = 0;
  for (DWORD index = 0; index < Control.PortCount; index++) {
    needed += TextSize(Control.Names[index]);
    needed += Level == 1
                  ? sizeof(PORT_INFO_1A)
                  : sizeof(PORT_INFO_2A) + TextSize("Test Port Monitor") + TextSize(DescriptionOf(index));
  }
  *Needed = needed;
  if (needed > Size) {
    if (Control.GrowAfterSizeQuery > 0 && Control.PortCount < TEST_MONITOR_MAX_PORTS) AddGrownPort();
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  LPBYTE end = Buffer + Size;
  for (DWORD index = 0; index < Control.PortCount; index++) {
    if (Level == 1) {
      PORT_INFO_1A *info = (PORT_INFO_1A *)Buffer + index;
      info->pName = Pack(Control.Names[index], &end);
    } else {
      PORT_INFO_2A *info = (PORT_INFO_2A *)Buffer + index;
      info->pPortName = Pack(Control.Names[index], &end);
      info->pMonitorName = Pack("Test Port Monitor", &end);
      info->pDescription = Pack(DescriptionOf(index), &end);
      info->fPortType = PORT_TYPE_WRITE;
      info->Reserved = 0;
    }
  }
  if (Control.Misbehave == TEST_MONITOR_WRITES_PAST_BUFFER) Buffer[Size] = 0;
  if (Control.Misbehave == TEST_MONITOR_POINTS_OUTSIDE_BUFFER && Control.PortCount > 0) {
    ((PORT_INFO_1A *)Buffer)->pName = (LPSTR) "outside";
  }
  *Returned = Control.PortCount;
  return TRUE;
}

static TestPortRecord *RecordOf(LPCSTR Name) {
  for (DWORD index = 0; index < Control.OpenedPorts; index++) {
    if (SameName(Control.Opened[index].Name, Name)) return &Control.Opened[index];
  }
  return NULL;
}

static BOOL Listed(LPCSTR Name) {
  for (DWORD index = 0; index < Control.PortCount; index++) {
    if (SameName(Control.Names[index], Name)) return TRUE;
  }
  return FALSE;
}

static BOOL WINAPI TestOpenPort(LPSTR Name, PHANDLE Handle) {
  Observe("OpenPort");
  if (!Listed(Name)) return FALSE;
  TestPortRecord *record = RecordOf(Name);
  if (record == NULL) {
    if (Control.OpenedPorts == TEST_MONITOR_MAX_PORTS) return FALSE;
    record = &Control.Opened[Control.OpenedPorts++];
    Copy(record->Name, Name, sizeof(record->Name));
  }
  record->OpenPortCalls++;
  *Handle = (HANDLE)record;
  return TRUE;
}

static VOID ClosePrinterOf(TestPortRecord *Record) {
  if (Record->Printer != NULL) ClosePrinter(Record->Printer);
  Record->Printer = NULL;
}

static BOOL WINAPI TestStartDocPort(HANDLE Port, LPSTR PrinterName, DWORD JobId, DWORD Level,
                                    LPBYTE DocInfo) {
  Observe("StartDocPort");
  TestPortRecord *record = (TestPortRecord *)Port;
  record->StartDocPortCalls++;
  if (record->JobOpen) {
    record->Restarts++;
    ClosePrinterOf(record);
    __atomic_store_n(&record->JobOpen, FALSE, __ATOMIC_RELAXED);
  }
  if (!OpenPrinterA(PrinterName, &record->Printer, NULL)) {
    record->Printer = NULL;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BYTE info[540];
  DWORD needed = 0;
  if (GetPrinterA(record->Printer, 5, info, sizeof(info), &needed)) {
    record->NotSelectedTimeout = ((PRINTER_INFO_5A *)info)->DeviceNotSelectedTimeout;
    record->RetryTimeout = ((PRINTER_INFO_5A *)info)->TransmissionRetryTimeout;
  }
  if (Control.StartDocPortError != 0) {
    ClosePrinterOf(record);
    SetLastError(Control.StartDocPortError);
    return FALSE;
  }
  __atomic_store_n(&record->JobOpen, TRUE, __ATOMIC_RELAXED);
  record->JobId = JobId;
  Copy(record->PrinterName, PrinterName, sizeof(record->PrinterName));
  record->DocumentName[0] = 0;
  if (Level == 1 && DocInfo != NULL && ((DOC_INFO_1A *)DocInfo)->pDocName != NULL)
    Copy(record->DocumentName, ((DOC_INFO_1A *)DocInfo)->pDocName, sizeof(record->DocumentName));
  return TRUE;
}

// Jobs on two ports draw at once.
static TestWriteStep RandomWriteStep(VOID) {
  DWORD seed = __atomic_load_n(&Control.WriteRandomSeed, __ATOMIC_RELAXED);
  DWORD next;
  do {
    next = seed * 1103515245u + 12345u;
  } while (!__atomic_compare_exchange_n(&Control.WriteRandomSeed, &seed, next, FALSE, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED));
  DWORD draw = (next >> 8) % 16;
  TestWriteStep step = {TEST_WRITE_TAKE_ALL, 0};
  if (draw < 4) step = TestWriteStep{TEST_WRITE_TAKE_SOME, (next >> 12) % 3000};
  if (draw == 4 || draw == 5) step = TestWriteStep{TEST_WRITE_TAKE_NONE, 0};
  if (draw == 6) step = TestWriteStep{TEST_WRITE_FAIL, ERROR_NOT_READY};
  return step;
}

static TestWriteStep NextWriteStep(VOID) {
  DWORD at = __atomic_fetch_add(&Control.WriteScriptAt, 1, __ATOMIC_RELAXED);
  if (at < Control.WriteScriptLength) return Control.WriteScript[at];
  return __atomic_load_n(&Control.WriteRandomSeed, __ATOMIC_RELAXED) != 0 ? RandomWriteStep()
                                                                          : Control.WriteDefault;
}

static BOOL WINAPI TestWritePort(HANDLE Port, LPBYTE Buffer, DWORD Size, LPDWORD Written) {
  UNREFERENCED_PARAMETER(Buffer);
  Observe("WritePort");
  TestPortRecord *record = (TestPortRecord *)Port;
  // Counted atomically: a test may read it while a job still prints.
  __atomic_fetch_add(&record->WritePortCalls, 1, __ATOMIC_RELAXED);
  if (record->FirstWriteTick == 0) record->FirstWriteTick = GetTickCount();
  record->LastWriteTick = GetTickCount();
  if (Size > record->LargestAsked) record->LargestAsked = Size;
  if (record->SmallestAsked == 0 || Size < record->SmallestAsked) record->SmallestAsked = Size;
  *Written = 0;
  if (!record->JobOpen) {
    SetLastError(ERROR_SUCCESS);
    return FALSE;
  }
  if (Control.WriteDelay != 0) Sleep(Control.WriteDelay);
  TestWriteStep step = NextWriteStep();
  switch (step.Action) {
    case TEST_WRITE_TAKE_SOME:
      *Written = step.Value < Size ? step.Value : Size;
      break;
    case TEST_WRITE_TAKE_NONE:
      break;
    case TEST_WRITE_FAIL:
      SetLastError(step.Value);
      return FALSE;
    default:
      *Written = Size;
  }
  if (Control.Misbehave == TEST_MONITOR_TAKES_MORE_THAN_GIVEN) *Written = Size + 1;
  record->BytesTaken += *Written;
  return TRUE;
}

static BOOL WINAPI TestEndDocPort(HANDLE Port) {
  Observe("EndDocPort");
  TestPortRecord *record = (TestPortRecord *)Port;
  record->EndDocPortCalls++;
  ClosePrinterOf(record);
  __atomic_store_n(&record->JobOpen, FALSE, __ATOMIC_RELAXED);
  return TRUE;
}

static BOOL WINAPI TestClosePort(HANDLE Port) {
  Observe("ClosePort");
  ((TestPortRecord *)Port)->ClosePortCalls++;
  return TRUE;
}

// The device ID (control 17) while a job is open, without its length bytes.
static BOOL WINAPI TestGetPrinterDataFromPort(HANDLE Port, DWORD ControlID, LPSTR ValueName, LPSTR InBuffer,
                                              DWORD InSize, LPSTR OutBuffer, DWORD OutSize,
                                              LPDWORD Returned) {
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(InBuffer);
  UNREFERENCED_PARAMETER(InSize);
  Observe("GetPrinterDataFromPort");
  TestPortRecord *record = (TestPortRecord *)Port;
  __atomic_add_fetch(&record->GetPrinterDataCalls, 1, __ATOMIC_RELAXED);
  if (ControlID != 17) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A job's thread may be starting or ending the document meanwhile.
  if (!__atomic_load_n(&record->JobOpen, __ATOMIC_RELAXED)) return FALSE;
  CHAR id[64] = "MFG:Test;MDL:";
  Copy(id + Length(id), record->Name, sizeof(id) - Length(id));
  DWORD size = Length(id);
  if (size > OutSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  for (DWORD at = 0; at < size; at++) OutBuffer[at] = id[at];
  *Returned = size;
  return TRUE;
}

[[maybe_unused]] static BOOL WINAPI TestDeletePort(LPSTR Name, HWND Window, LPSTR PortName) {
  UNREFERENCED_PARAMETER(Name);
  UNREFERENCED_PARAMETER(Window);
  Observe("DeletePort");
  Copy(Control.LastDeleted, PortName, sizeof(Control.LastDeleted));
  if (Control.DeletePortError != 0) {
    SetLastError(Control.DeletePortError);
    return FALSE;
  }
  // The spooler's handle of a port with a job open is this monitor's record.
  TestPortRecord *record = RecordOf(PortName);
  if (record != NULL && __atomic_load_n(&record->JobOpen, __ATOMIC_RELAXED)) {
    SetLastError(ERROR_BUSY);
    return FALSE;
  }
  for (DWORD index = 0; index < Control.PortCount; index++) {
    if (!SameName(Control.Names[index], PortName)) continue;
    for (DWORD next = index + 1; next < Control.PortCount; next++) {
      Copy(Control.Names[next - 1], Control.Names[next], sizeof(Control.Names[next]));
      Copy(Control.Descriptions[next - 1], Control.Descriptions[next], sizeof(Control.Descriptions[next]));
    }
    Control.PortCount--;
    return TRUE;
  }
  SetLastError(ERROR_UNKNOWN_PORT);
  return FALSE;
}

extern "C" {

// Two ports until a test says otherwise, the second without a description.
BOOL WINAPI DllEntryPoint(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  UNREFERENCED_PARAMETER(Instance);
  UNREFERENCED_PARAMETER(Reserved);
  if (Reason == DLL_PROCESS_ATTACH) {
    Control.PortCount = 2;
    Copy(Control.Names[0], TEST_MONITOR_PORT "1:", sizeof(Control.Names[0]));
    Copy(Control.Names[1], TEST_MONITOR_PORT "2:", sizeof(Control.Names[1]));
    Copy(Control.Descriptions[0], "First test port", sizeof(Control.Descriptions[0]));
  }
  if (Reason == DLL_PROCESS_DETACH) Observe("DllEntryPoint detach");
  return TRUE;
}

BOOL WINAPI InitializeMonitorEx(LPSTR RegistryRoot, LPMONITOR Monitor) {
  Observe("InitializeMonitorEx");
  Control.InitializeCalls++;
  Copy(Control.RegistryRoot, RegistryRoot, sizeof(Control.RegistryRoot));
  Monitor->pfnEnumPorts = TestEnumPorts;
  Monitor->pfnOpenPort = TestOpenPort;
  Monitor->pfnStartDocPort = TestStartDocPort;
  Monitor->pfnWritePort = TestWritePort;
  Monitor->pfnEndDocPort = TestEndDocPort;
  Monitor->pfnClosePort = TestClosePort;
  Monitor->pfnGetPrinterDataFromPort = TestGetPrinterDataFromPort;
#ifndef TEST_MONITOR_WITHOUT_DELETE
  Monitor->pfnDeletePort = TestDeletePort;
#endif
#ifdef TEST_MONITOR_REFUSES
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
#else
  return TRUE;
#endif
}

TestMonitorControl *WINAPI TestMonitorControlBlock(VOID) { return &Control; }

}  // extern "C"
