#include "nrvusbin.h"

const char TracePrefix[] = "InstallPortMonitor:";
