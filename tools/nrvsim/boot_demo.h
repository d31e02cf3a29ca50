// The built-in demonstration: boot, load the driver, plug a printer, print, shut down.
#pragma once

#include <cstdio>
#include <string>

#include "machine/machine.h"

namespace nrvsim {

struct BootDemoOptions {
  nrv::OsProfile profile = nrv::OsProfile::Windows2000;
  std::string driverModule;
  std::string printPath;  // the document to print; empty: the built-in test page
};

int runBootDemo(const BootDemoOptions& options, FILE* transcript);

}  // namespace nrvsim
