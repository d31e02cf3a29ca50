// The test port monitor's control block: what a test tells the monitor to do
// and what the monitor records of the spooler's calls. The monitor exports
// TestMonitorControlBlock, which hands out its block.
#pragma once

#include <windows.h>

#define TEST_MONITOR_MAX_PORTS 8

// Ways the monitor can break the rules, for the spooler's checks.
#define TEST_MONITOR_WRITES_PAST_BUFFER 1
#define TEST_MONITOR_POINTS_OUTSIDE_BUFFER 2

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
  // Called at the start of every entry with its name ("InitializeMonitorEx", "EnumPorts", "DeletePort",
  // "DllEntryPoint detach").
  VOID(WINAPI *Observe)(LPCSTR Entry, PVOID Context);
  PVOID Context;

  // Records.
  DWORD InitializeCalls;
  CHAR RegistryRoot[MAX_PATH];
  DWORD EnumPortsCalls;
  CHAR LastDeleted[32];
} TestMonitorControl;

typedef TestMonitorControl *(WINAPI *TestMonitorControlBlockRoutine)(VOID);
