// The program's entry: no window, no arguments; the exit code is always the same.
#include "nrvusbun.h"

HINSTANCE ModuleInstance;

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE PreviousInstance, LPSTR CommandLine, int ShowCommand) {
  UNREFERENCED_PARAMETER(PreviousInstance);
  UNREFERENCED_PARAMETER(CommandLine);
  UNREFERENCED_PARAMETER(ShowCommand);
  ModuleInstance = Instance;
  UninstallPackage();
  return UNINSTALLER_EXIT_CODE;
}
