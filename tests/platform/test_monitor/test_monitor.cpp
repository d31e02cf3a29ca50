// A port monitor for the spooler's own tests, built as a monitor DLL is: it
// lists the ports its control block holds, with the buffer arithmetic of a
// monitor (structures from the start, strings from the end), and deletes them.
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

[[maybe_unused]] static BOOL WINAPI TestDeletePort(LPSTR Name, HWND Window, LPSTR PortName) {
  UNREFERENCED_PARAMETER(Name);
  UNREFERENCED_PARAMETER(Window);
  Observe("DeletePort");
  Copy(Control.LastDeleted, PortName, sizeof(Control.LastDeleted));
  if (Control.DeletePortError != 0) {
    SetLastError(Control.DeletePortError);
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
