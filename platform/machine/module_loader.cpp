#include "machine/module_loader.h"

#include <dlfcn.h>

#include "base/bugcheck.h"
#include "base/module_imports.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/pool_tracker.h"
#include "user/file_system.h"

namespace nrv {

NTSTATUS defaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void initializeDriverObject(LoadedDriver& driver) {
  driver.driverName = u"\\Driver\\" + toUtf16(driver.serviceName);
  driver.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + toUtf16(driver.serviceName);
  DRIVER_OBJECT& object = driver.object;
  object.Type = IO_TYPE_DRIVER;
  object.Size = sizeof(DRIVER_OBJECT);
  object.DriverExtension = &driver.extension;
  driver.extension.DriverObject = &object;
  setUnicodeString(object.DriverName, driver.driverName);
  setUnicodeString(driver.extension.ServiceKeyName, driver.driverName.substr(8));
  for (auto& dispatch : object.MajorFunction) dispatch = defaultDispatch;
}

ModuleLoader::ModuleLoader(PoolTracker& pool, FileSystem& files) : pool_(pool), files_(files) {}

LoadedDriver& ModuleLoader::prepare(const std::string& serviceName) {
  drivers_.push_back(std::make_unique<LoadedDriver>());
  LoadedDriver& driver = *drivers_.back();
  driver.serviceName = serviceName;
  initializeDriverObject(driver);
  return driver;
}

namespace {

// What the kernel exports: its own routines and the C runtime routines it carries.
const ImportRule& kernelImports() {
  static const ImportRule rule{libraryFileOf(reinterpret_cast<const void*>(&IofCallDriver)),
                               "kernel",
                               {"memcpy", "memset", "memmove", "memcmp", "strlen", "strcmp", "strcpy", "sprintf",
                                "strncpy", "strncmp"}};
  return rule;
}

}  // namespace

DriverLoadResult ModuleLoader::loadDriver(const std::string& modulePath, const std::string& serviceName) {
  std::string refused = checkModuleImports(modulePath, kernelImports());
  if (!refused.empty()) return {STATUS_INVALID_IMAGE_FORMAT, nullptr, refused};
  void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return {STATUS_INVALID_IMAGE_FORMAT, nullptr, dlerror()};
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(module);
    return {STATUS_PROCEDURE_NOT_FOUND, nullptr, "the module exports no DriverEntry"};
  }
  LoadedDriver& driver = prepare(serviceName);
  driver.modulePath = modulePath;
  driver.module = module;
  return start(driver, entry);
}

DriverLoadResult ModuleLoader::loadDriverImage(const std::string& imageFile, const std::string& serviceName) {
  if (!files_.isFile(imageFile))
    return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr, imageFile + " does not exist"};
  std::optional<std::string> hostModule = files_.hostModule(imageFile);
  if (!hostModule) {
    return {STATUS_INVALID_IMAGE_FORMAT, nullptr, imageFile + " is no module this machine can load"};
  }
  files_.markInUse(imageFile, 1);
  size_t before = drivers_.size();
  DriverLoadResult result = loadDriver(*hostModule, serviceName);
  if (result.driver != nullptr) {
    result.driver->imageFile = imageFile;
  } else if (drivers_.size() == before) {
    files_.markInUse(imageFile, -1);
  }
  return result;
}

DriverLoadResult ModuleLoader::startDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName) {
  return start(prepare(serviceName), entry);
}

DriverLoadResult ModuleLoader::start(LoadedDriver& driver, PDRIVER_INITIALIZE entry) {
  UNICODE_STRING registryPath;
  setUnicodeString(registryPath, driver.registryPath);
  {
    DriverCallScope scope(&driver.object);
    requireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
    driver.entryStatus = callDriverRoutine("driver entry", reinterpret_cast<const void*>(entry), [&] { return entry(&driver.object, &registryPath); });
  }
  if (!NT_SUCCESS(driver.entryStatus)) {
    NTSTATUS status = driver.entryStatus;
    if (driver.object.DeviceObject != nullptr) {
      bugCheck("DRIVER_LEFT_DEVICES", format("%s failed DriverEntry (0x%08X) but left device objects behind",
                                             driver.serviceName.c_str(), static_cast<unsigned>(status)));
    }
    discard(driver);
    return {status, nullptr, ""};
  }
  return {driver.entryStatus, &driver, ""};
}

void ModuleLoader::unload(LoadedDriver& driver) {
  if (driver.object.DeviceObject != nullptr) {
    bugCheck("DRIVER_UNLOADED_WITH_DEVICES",
             format("%s is being unloaded while its device object %p still exists", driver.serviceName.c_str(),
                    static_cast<void*>(driver.object.DeviceObject)));
  }
  if (driver.object.DriverUnload != nullptr) {
    DriverCallScope scope(&driver.object);
    callDriverRoutine("unload routine", reinterpret_cast<const void*>(driver.object.DriverUnload), [&] {
      driver.object.DriverUnload(&driver.object);
      return STATUS_SUCCESS;
    });
  }
  discard(driver);
}

void ModuleLoader::discard(LoadedDriver& driver) {
  std::vector<PoolBlock> leaked = pool_.outstanding(&driver.object);
  if (!leaked.empty()) {
    bugCheck("DRIVER_UNLOADED_WITHOUT_FREEING_POOL",
             format("%s leaves %zu pool block(s) allocated:\n", driver.serviceName.c_str(), leaked.size()) +
                 PoolTracker::describe(leaked));
  }
  if (driver.module != nullptr) dlclose(driver.module);
  if (!driver.imageFile.empty()) files_.markInUse(driver.imageFile, -1);
  drivers_.remove_if([&](const std::unique_ptr<LoadedDriver>& entry) { return entry.get() == &driver; });
}

void ModuleLoader::unloadAll() {
  while (!drivers_.empty()) unload(*drivers_.back());
}

LoadedDriver* ModuleLoader::find(PDRIVER_OBJECT object) {
  for (auto& driver : drivers_) {
    if (&driver->object == object) return driver.get();
  }
  return nullptr;
}

}  // namespace nrv
