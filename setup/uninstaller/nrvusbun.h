// NRVUSBUN: the uninstaller program. It asks first, then removes every
// printer of the driver with its ports and keys, the port monitor, the
// package's keys and (at the next start) its files, itself included, and
// offers the restart that finishes the job.
#pragma once

#include "cleanup.h"

// Strings of the first block of the table, the same in every language.
#define IDS_DRIVER_FILE 1
#define IDS_MONITOR_FILE 2
#define IDS_INSTALLER_FILE 3
#define IDS_EXTRA_FILE 4
#define IDS_UNINSTALLER_FILE 5
#define IDS_INF_OTHER_FOLDER 20
#define IDS_INF_FOLDER 21
#define IDS_PRINTER_PORTS_MRU_KEY 22
#define IDS_MONITOR_KEY 40
#define IDS_PACKAGE_CLASS_KEY_98 41
#define IDS_INTERFACE_CLASS_KEY_98 42
#define IDS_INTERFACE_CLASS_KEY_2000 43
#define IDS_DRIVER_SERVICE_KEY_2000 44
#define IDS_UNINSTALL_ENTRY_KEY 60
#define IDS_MONITOR_NAME 61

// The two questions: offsets of their texts and captions in the language block.
#define MSG_CONFIRM_TEXT 0
#define MSG_CONFIRM_CAPTION 1
#define MSG_RESTART_TEXT 2
#define MSG_RESTART_CAPTION 3

#define QUESTION_TEXT_SIZE 1024
#define QUESTION_CAPTION_SIZE 256
#define MONITOR_NAME_SIZE 256

// What the program returns to the system, whatever happened.
#define UNINSTALLER_EXIT_CODE 1

extern "C" int WINAPI WinMain(HINSTANCE Instance, HINSTANCE PreviousInstance, LPSTR CommandLine,
                              int ShowCommand);

VOID UninstallPackage(VOID);
BOOLEAN DeleteRegistryKeyTree(LPCSTR KeyPath);
