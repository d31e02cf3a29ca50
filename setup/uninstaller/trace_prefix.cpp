#include "nrvusbun.h"

const char TracePrefix[] = "UnInstaller:";
