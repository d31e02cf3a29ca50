#include "driver_facts.h"

#include "base/symbolizer.h"
#include "kernel/irp_tracker.h"

namespace nrvsim {

namespace {

std::string routineName(const void* routine) {
  return routine == nullptr ? "none" : nrv::describeCodeAddress(routine);
}

}  // namespace

DriverLoaded describeDriver(const std::string& modulePath, const nrv::DriverLoadResult& result) {
  DriverLoaded loaded;
  loaded.modulePath = modulePath;
  loaded.loadFailure = result.failure;
  loaded.entryStatus = result.status;
  if (result.driver == nullptr) return loaded;
  const DRIVER_OBJECT& object = result.driver->object;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
    if (object.MajorFunction[major] == nrv::defaultDispatch) {
      loaded.refusedMajorFunctions++;
      continue;
    }
    loaded.routines.push_back(
        DispatchEntry{nrv::majorFunctionName(major),
                      routineName(reinterpret_cast<const void*>(object.MajorFunction[major]))});
  }
  loaded.routines.push_back(DispatchEntry{
      "AddDevice", routineName(reinterpret_cast<const void*>(object.DriverExtension->AddDevice))});
  loaded.routines.push_back(
      DispatchEntry{"DriverUnload", routineName(reinterpret_cast<const void*>(object.DriverUnload))});
  return loaded;
}

}  // namespace nrvsim
