// Loading drivers: a driver module is opened like a kernel image (only its entry
// point is visible), given a driver object, and started through DriverEntry.
// A driver loaded from a machine file keeps that file in use until it is
// unloaded, as a loaded image is.
#pragma once

#include <wdm.h>

#include <list>
#include <memory>
#include <string>

namespace nrv {

struct LoadedDriver {
  std::string serviceName;  // "NRVUSB"
  std::string modulePath;   // empty for a driver linked into the program
  std::string imageFile;    // the machine file it was loaded from; empty for none
  void* module = nullptr;
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string driverName;    // "\Driver\NRVUSB"
  std::u16string registryPath;  // the service key
  NTSTATUS entryStatus = STATUS_SUCCESS;
};

struct DriverLoadResult {
  NTSTATUS status;
  LoadedDriver* driver;  // null when the driver did not start
  std::string failure;   // why the module could not be loaded; empty when DriverEntry ran
};

class FileSystem;
class PoolTracker;

class ModuleLoader {
 public:
  // pool: whose blocks a driver still holds when it is unloaded; files: where images are.
  ModuleLoader(PoolTracker& pool, FileSystem& files);
  ModuleLoader(const ModuleLoader&) = delete;
  ModuleLoader& operator=(const ModuleLoader&) = delete;

  // A file that is no driver module fails with STATUS_INVALID_IMAGE_FORMAT or
  // STATUS_PROCEDURE_NOT_FOUND and the reason, as the system's loader refuses an image.
  DriverLoadResult loadDriver(const std::string& modulePath, const std::string& serviceName);
  // The same from a machine file that a host module plays; a missing file
  // fails with STATUS_OBJECT_NAME_NOT_FOUND, a plain one with STATUS_INVALID_IMAGE_FORMAT.
  DriverLoadResult loadDriverImage(const std::string& imageFile, const std::string& serviceName);
  DriverLoadResult startDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName);
  // Unloads a driver whose devices are all gone; pool it still holds stops the machine.
  void unload(LoadedDriver& driver);
  void unloadAll();

  LoadedDriver* find(PDRIVER_OBJECT object);
  const std::list<std::unique_ptr<LoadedDriver>>& drivers() const { return drivers_; }

 private:
  LoadedDriver& prepare(const std::string& serviceName);
  DriverLoadResult start(LoadedDriver& driver, PDRIVER_INITIALIZE entry);
  void discard(LoadedDriver& driver);

  PoolTracker& pool_;
  FileSystem& files_;
  std::list<std::unique_ptr<LoadedDriver>> drivers_;
};

// The routine every unset major function points at: it refuses the request.
NTSTATUS defaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// Puts a driver object into the state the I/O manager gives it before DriverEntry.
void initializeDriverObject(LoadedDriver& driver);

}  // namespace nrv
