// The device interface class NRVUSB registers for every printer: the monitor
// and the setup programs find the driver's printers by it alone.
#pragma once

#include <windows.h>

extern const GUID PrinterInterfaceClass;
