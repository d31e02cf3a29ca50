// kernel32: processes, modules, files and device I/O, events and waits,
// critical sections, memory, last error, time and strings.
#pragma once

#include <windef.h>

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
