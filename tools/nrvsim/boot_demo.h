// The built-in demonstration: boot, load the driver, plug a printer, shut down.
#pragma once

#include <cstdio>
#include <string>

#include "machine/machine.h"

namespace nrvsim {

struct BootDemoOptions {
  nrv::OsProfile profile = nrv::OsProfile::Windows2000;
  std::string driverModule;
};

int runBootDemo(const BootDemoOptions& options, FILE* transcript);

}  // namespace nrvsim
