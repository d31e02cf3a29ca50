#include "driver_facts.h"

#include "base/symbolizer.h"
#include "kernel/irp_tracker.h"

namespace nrvsim {

namespace {

std::string routineName(const void* routine) {
  return routine == nullptr ? "none" : nrv::describeCodeAddress(routine);
}

}  // namespace

DriverLoaded describeDriver(const std::string& modulePath, NTSTATUS entryStatus,
                            const nrv::LoadedDriver* driver) {
  DriverLoaded loaded;
  loaded.modulePath = modulePath;
  loaded.entryStatus = entryStatus;
  if (driver == nullptr) return loaded;
  const DRIVER_OBJECT& object = driver->object;
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
