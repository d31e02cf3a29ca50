// What loading the driver module showed: DriverEntry's status and the routines
// the driver object now names.
#pragma once

#include "events.h"
#include "machine/module_loader.h"

namespace nrvsim {

DriverLoaded describeDriver(const std::string& modulePath, NTSTATUS entryStatus,
                            const nrv::LoadedDriver* driver);

}  // namespace nrvsim
