// The misbehaviours of the BROKEN test driver, chosen by device-control code.
#pragma once

#include <wdm.h>

#define BROKEN_CODE(function) CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_NEITHER, FILE_ANY_ACCESS)

// Completes the request, then completes it again.
#define IOCTL_BROKEN_COMPLETE_TWICE BROKEN_CODE(0x900)
// Allocates BROKEN_LEAK_SIZE bytes tagged "Leak" and forgets them.
#define IOCTL_BROKEN_LEAK_POOL BROKEN_CODE(0x901)
// Completes the request but returns STATUS_PENDING without having marked it.
#define IOCTL_BROKEN_PEND_UNMARKED BROKEN_CODE(0x902)

#define BROKEN_LEAK_SIZE 48
