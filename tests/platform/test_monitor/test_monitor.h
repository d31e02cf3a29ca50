// The test port monitor's control block: what a test tells the monitor to do
// and what the monitor records of the spooler's calls. The monitor exports
// TestMonitorControlBlock, which hands out its block.
#pragma once

#include <windows.h>

#define TEST_MONITOR_MAX_PORTS 8
#define TEST_MONITOR_SCRIPT_STEPS 32

// What one WritePort does.
#define TEST_WRITE_TAKE_ALL 0
#define TEST_WRITE_TAKE_SOME 1  // at most Value bytes
#define TEST_WRITE_TAKE_NONE 2  // TRUE with nothing taken
#define TEST_WRITE_FAIL 3       // FALSE with the error Value

typedef struct TestWriteStep {
  DWORD Action;
  DWORD Value;
} TestWriteStep;

// A port the spooler opened; its address is the port handle. It stays when the port is deleted.
typedef struct TestPortRecord {
  CHAR Name[32];
  DWORD OpenPortCalls;
  DWORD StartDocPortCalls;
  DWORD WritePortCalls;
  DWORD EndDocPortCalls;
  DWORD ClosePortCalls;
  DWORD GetPrinterDataCalls;
  // Restarts: StartDocPort while a document was open.
  DWORD Restarts;
  BOOL JobOpen;
  DWORD JobId;
  CHAR PrinterName[64];
  CHAR DocumentName[64];
  // What GetPrinterA level 5 answered in StartDocPort.
  DWORD NotSelectedTimeout;
  DWORD RetryTimeout;
  HANDLE Printer;
  DWORD BytesTaken;
  DWORD LargestAsked;
  DWORD SmallestAsked;
  // The virtual times of its first and last write.
  DWORD FirstWriteTick;
  DWORD LastWriteTick;
} TestPortRecord;

// Ways the monitor can break the rules, for the spooler's checks.
#define TEST_MONITOR_WRITES_PAST_BUFFER 1
#define TEST_MONITOR_POINTS_OUTSIDE_BUFFER 2
#define TEST_MONITOR_TAKES_MORE_THAN_GIVEN 3

typedef struct TestMonitorControl {
  // The ports it lists; a description of "" is listed as NULL.
  DWORD PortCount;
  CHAR Names[TEST_MONITOR_MAX_PORTS][32];
  CHAR Descriptions[TEST_MONITOR_MAX_PORTS][64];
  // Nonzero: EnumPorts fails with this error.
  DWORD EnumPortsError;
  // This many times, a port named "GROWN<n>:" appears just after a size query.
  DWORD GrowAfterSizeQuery;
  // Nonzero: DeletePort fails with this error.
  DWORD DeletePortError;
  DWORD Misbehave;
  // WritePort follows the script one step a call, then WriteDefault.
  TestWriteStep WriteScript[TEST_MONITOR_SCRIPT_STEPS];
  DWORD WriteScriptLength;
  TestWriteStep WriteDefault;
  // Nonzero: past the script each write draws its step from this seed instead
  // (mostly take all, else some, none, or fail with ERROR_NOT_READY).
  DWORD WriteRandomSeed;
  // Nonzero: each WritePort takes this many virtual milliseconds.
  DWORD WriteDelay;
  // Nonzero: StartDocPort fails with this error (after opening and closing the printer).
  DWORD StartDocPortError;
  // Called at the start of every entry with its name ("InitializeMonitorEx", "EnumPorts", "DeletePort",
  // "OpenPort", "StartDocPort", "WritePort", "EndDocPort", "ClosePort", "GetPrinterDataFromPort",
  // "DllEntryPoint detach").
  VOID(WINAPI *Observe)(LPCSTR Entry, PVOID Context);
  PVOID Context;

  // Records.
  DWORD InitializeCalls;
  CHAR RegistryRoot[MAX_PATH];
  DWORD EnumPortsCalls;
  CHAR LastDeleted[32];
  DWORD WriteScriptAt;
  DWORD OpenedPorts;
  TestPortRecord Opened[TEST_MONITOR_MAX_PORTS];
} TestMonitorControl;

typedef TestMonitorControl *(WINAPI *TestMonitorControlBlockRoutine)(VOID);
