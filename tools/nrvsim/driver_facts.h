// What loading the driver module showed: why it could not be loaded, or
// DriverEntry's status and the routines the driver object now names.
#pragma once

#include "events.h"
#include "machine/module_loader.h"

namespace nrvsim {

DriverLoaded describeDriver(const std::string& modulePath, const nrv::DriverLoadResult& result);

}  // namespace nrvsim
