// CheckVersion: the installed driver and port monitor must come from one
// package. A version that cannot be read is no mismatch: only two product
// versions that both exist and differ are refused.
#include "nrvusbin.h"
#include "setup_path.h"

static const CHAR ProductVersionQuery[] = "\\StringFileInfo\\040904B0\\ProductVersion";

// The product version of the file at Path: Version points into the returned
// block, which the caller frees with LocalFree. NULL when there is none.
static HLOCAL ReadProductVersion(LPCSTR Path, LPSTR *Version) {
  DWORD handle;
  DWORD size;
  HLOCAL block;
  UINT length;

  size = GetFileVersionInfoSizeA(Path, &handle);
  if (size == 0) {
    return NULL;
  }
  block = LocalAlloc(LMEM_FIXED, size + 1);
  if (block == NULL) {
    return NULL;
  }
  if (!GetFileVersionInfoA(Path, handle, size, block) ||
      !VerQueryValueA(block, ProductVersionQuery, (LPVOID *)Version, &length)) {
    LocalFree(block);
    return NULL;
  }
  return block;
}

// The driver's version: from the system folder, else from the drivers folder.
static HLOCAL ReadDriverVersion(LPCSTR DriverFile, LPSTR *Version) {
  CHAR path[SETUP_PATH_SIZE];
  HLOCAL block = NULL;

  if (SystemDirectoryPath(path, "\\") && AppendToPath(path, DriverFile)) {
    block = ReadProductVersion(path, Version);
  }
  if (block == NULL && WindowsDirectoryPath(path, "\\SYSTEM32\\DRIVERS\\") &&
      AppendToPath(path, DriverFile)) {
    block = ReadProductVersion(path, Version);
  }
  return block;
}

static HLOCAL ReadMonitorVersion(LPCSTR MonitorFile, LPSTR *Version) {
  CHAR path[SETUP_PATH_SIZE];

  if (!SystemDirectoryPath(path, "\\") || !AppendToPath(path, MonitorFile)) {
    return NULL;
  }
  return ReadProductVersion(path, Version);
}

DWORD WINAPI CheckVersion(VOID) {
  CHAR driverFile[INSTALLER_TEXT_SIZE];
  CHAR monitorFile[INSTALLER_TEXT_SIZE];
  LPSTR driverVersion;
  LPSTR monitorVersion;
  HLOCAL driverBlock;
  HLOCAL monitorBlock;
  DWORD result = ERROR_SUCCESS;

  LoadFixedText(IDS_DRIVER_FILE, driverFile, INSTALLER_TEXT_SIZE);
  LoadFixedText(IDS_MONITOR_FILE, monitorFile, INSTALLER_TEXT_SIZE);
  driverBlock = ReadDriverVersion(driverFile, &driverVersion);
  monitorBlock = ReadMonitorVersion(monitorFile, &monitorVersion);
  if (driverBlock != NULL && monitorBlock != NULL && lstrcmpA(driverVersion, monitorVersion) != 0) {
    result = ERROR_ALREADY_EXISTS;
  }
  if (driverBlock != NULL) {
    LocalFree(driverBlock);
  }
  if (monitorBlock != NULL) {
    LocalFree(monitorBlock);
  }
  return result;
}
