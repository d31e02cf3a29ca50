// Where a device node's keys live, which differs between the two OS profiles,
// and IoOpenDeviceRegistryKey, by which a driver reaches them.
#include "base/bugcheck.h"
#include "base/fault_injector.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

constexpr std::u16string_view kEnum2000 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr std::u16string_view kEnum98 = u"\\Registry\\Machine\\Enum\\";
constexpr std::u16string_view kClass2000 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
constexpr std::u16string_view kClass98 = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Class\\";
constexpr std::u16string_view kDeviceParameters = u"\\Device Parameters";

// The class of a device the bus reports until an installer says otherwise.
constexpr std::u16string_view kUsbClassName = u"USB";
constexpr std::u16string_view kUsbClassGuid = u"{36fc9e60-c465-11cf-8056-444553540000}";

// The highest driver index a class key holds ("9999").
constexpr unsigned kLastDriverIndex = 9999;

// The text of a string value, or empty.
std::u16string stringIn(const NamedRegistryValue* value) {
  return value != nullptr && value->value.type == REG_SZ ? registryStringText(value->value.bytes) : std::u16string();
}

// The service name of the driver whose code runs; empty for other callers.
std::string runningDriverName() {
  ThreadRecord* thread = currentThreadOrNull();
  if (thread == nullptr || thread->driverCalls.empty()) return std::string();
  return serviceNameOf(thread->driverCalls.back());
}

// A Driver value names one key below the class root, "<class>\\<index>";
// anything else names none, so that deleting a device's driver key can never
// take a whole class, or more, with it.
bool namesOneDriverKey(std::u16string_view driver) {
  size_t separator = driver.find(u'\\');
  return separator != std::u16string_view::npos && separator > 0 && separator + 1 < driver.size() &&
         driver.find(u'\\', separator + 1) == std::u16string_view::npos;
}

}  // namespace

std::u16string Registry::instanceKeyPath(OsProfile profile, std::u16string_view instancePath) {
  return std::u16string(profile == OsProfile::Windows98 ? kEnum98 : kEnum2000) + std::u16string(instancePath);
}

std::u16string Registry::deviceKeyPath(OsProfile profile, std::u16string_view instancePath) {
  std::u16string path = instanceKeyPath(profile, instancePath);
  if (profile == OsProfile::Windows2000) path += kDeviceParameters;
  return path;
}

std::u16string Registry::driverKeyPath(OsProfile profile, std::u16string_view instancePath) {
  std::u16string classRoot(profile == OsProfile::Windows98 ? kClass98 : kClass2000);
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef node = createLocked(instanceKeyPath(profile, instancePath));
  if (node == nullptr) bugCheck("INVALID_PARAMETER", "a device node with an unusable instance path was asked for");
  std::u16string driver = stringIn(findValueLocked(*node, u"Driver"));
  if (!driver.empty()) return classRoot + driver;

  std::u16string className =
      stringIn(findValueLocked(*node, profile == OsProfile::Windows98 ? u"Class" : u"ClassGUID"));
  if (className.empty()) className = profile == OsProfile::Windows98 ? kUsbClassName : kUsbClassGuid;
  for (unsigned index = 0; index <= kLastDriverIndex; index++) {
    std::u16string candidate = className + toUtf16(format("\\%04u", index));
    if (findLocked(classRoot + candidate) == nullptr) {
      createLocked(classRoot + candidate);
      setValueLocked(*node, u"Driver", REG_SZ, registryStringBytes(candidate));
      return classRoot + candidate;
    }
  }
  bugCheck("REGISTRY_QUOTA_EXCEEDED", "every driver index of class " + toUtf8(className) + " is taken");
}

std::optional<std::u16string> Registry::installedDriverKeyPath(OsProfile profile,
                                                              std::u16string_view instancePath) const {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef node = findLocked(instanceKeyPath(profile, instancePath));
  std::u16string driver = node == nullptr ? std::u16string() : stringIn(findValueLocked(*node, u"Driver"));
  if (!namesOneDriverKey(driver)) return std::nullopt;
  return std::u16string(profile == OsProfile::Windows98 ? kClass98 : kClass2000) + driver;
}

void Registry::createDeviceNode(OsProfile profile, std::u16string_view instancePath,
                                std::u16string_view deviceDescription) {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef node = createLocked(instanceKeyPath(profile, instancePath));
  if (node == nullptr) bugCheck("INVALID_PARAMETER", "a device was plugged with an unusable instance path");
  auto setIfMissing = [&](std::u16string_view name, ULONG type, std::vector<uint8_t> bytes) {
    if (findValueLocked(*node, name) == nullptr) setValueLocked(*node, name, type, std::move(bytes));
  };
  setIfMissing(u"DeviceDesc", REG_SZ, registryStringBytes(deviceDescription));
  // The hardware ID is the instance path without its last part. Windows 98 keeps
  // ID lists as comma-separated strings, Windows 2000 as REG_MULTI_SZ.
  std::u16string hardwareId(instancePath.substr(0, instancePath.rfind(u'\\')));
  if (profile == OsProfile::Windows98) {
    setIfMissing(u"HardwareID", REG_SZ, registryStringBytes(hardwareId));
  } else {
    setIfMissing(u"HardwareID", REG_MULTI_SZ, registryMultiStringBytes({hardwareId}));
  }
  setIfMissing(u"Class", REG_SZ, registryStringBytes(kUsbClassName));
  if (profile == OsProfile::Windows2000) setIfMissing(u"ClassGUID", REG_SZ, registryStringBytes(kUsbClassGuid));
}

bool Registry::installDriver(OsProfile profile, std::u16string_view instancePath, const DriverInf& inf) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    RegistryKeyRef node = createLocked(instanceKeyPath(profile, instancePath));
    if (node == nullptr)
      bugCheck("INVALID_PARAMETER", "a device node with an unusable instance path was installed");
    if (findValueLocked(*node, u"Driver") != nullptr) return false;
    setValueLocked(*node, u"Class", REG_SZ, registryStringBytes(inf.className));
    if (profile == OsProfile::Windows2000)
      setValueLocked(*node, u"ClassGUID", REG_SZ, registryStringBytes(inf.classGuid));
  }
  std::u16string driverKey = driverKeyPath(profile, instancePath);
  const std::u16string hardwareId(instancePath.substr(0, instancePath.rfind(u'\\')));
  for (auto [name, text] :
       {std::pair{u"InfPath", &inf.infName}, std::pair{u"DriverDesc", &inf.description},
        std::pair{u"ProviderName", &inf.provider}, std::pair{u"MatchingDeviceId", &hardwareId}})
    setValue(driverKey, name, REG_SZ, registryStringBytes(*text));
  return true;
}

void Registry::setDeviceIds(OsProfile profile, std::u16string_view instancePath,
                            const std::vector<std::u16string>& hardwareIds,
                            const std::vector<std::u16string>& compatibleIds) {
  std::lock_guard<std::mutex> guard(lock_);
  RegistryKeyRef node = createLocked(instanceKeyPath(profile, instancePath));
  if (node == nullptr) bugCheck("INVALID_PARAMETER", "a device node with an unusable instance path was asked for");
  for (auto [name, ids] : {std::pair{u"HardwareID", &hardwareIds}, std::pair{u"CompatibleIDs", &compatibleIds}}) {
    if (ids->empty()) continue;
    if (profile == OsProfile::Windows98) {
      std::u16string joined;
      for (const std::u16string& id : *ids) joined += (joined.empty() ? u"" : u",") + id;
      setValueLocked(*node, name, REG_SZ, registryStringBytes(joined));
    } else {
      setValueLocked(*node, name, REG_MULTI_SZ, registryMultiStringBytes(*ids));
    }
  }
}

std::vector<std::u16string> Registry::deviceNodes(OsProfile profile) const {
  std::u16string root(profile == OsProfile::Windows98 ? kEnum98 : kEnum2000);
  std::vector<std::u16string> found;
  for (const std::u16string& enumerator : subkeys(root.substr(0, root.size() - 1))) {
    for (const std::u16string& device : subkeys(root + enumerator)) {
      std::u16string devicePath = enumerator + u"\\" + device;
      for (const std::u16string& instance : subkeys(root + devicePath))
        found.push_back(devicePath + u"\\" + instance);
    }
  }
  return found;
}

bool Registry::deleteDeviceNode(OsProfile profile, std::u16string_view instancePath) {
  deleteDriverKey(profile, instancePath);
  return deleteTree(instanceKeyPath(profile, instancePath));
}

bool Registry::deleteDriverKey(OsProfile profile, std::u16string_view instancePath) {
  std::optional<std::u16string> driverKey = installedDriverKeyPath(profile, instancePath);
  if (!driverKey) return false;
  deleteValue(instanceKeyPath(profile, instancePath), u"Driver");
  return deleteTree(*driverKey);
}

}  // namespace nrv

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  const void* caller = __builtin_return_address(0);
  nrv::KernelParts& kernel = nrv::currentKernel();
  std::u16string instancePath = kernel.devices.instancePathOf(DeviceObject, "IoOpenDeviceRegistryKey");
  if (DevInstRegKey == nullptr) {
    nrv::bugCheck("INVALID_PARAMETER", "IoOpenDeviceRegistryKey from " + nrv::describeCodeAddress(caller) +
                                           ": no place for the handle was given");
  }
  if ((DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0) {
    nrv::bugCheck("NOT_IMPLEMENTED", "IoOpenDeviceRegistryKey from " + nrv::describeCodeAddress(caller) +
                                         ": hardware profile keys are not simulated by this machine");
  }
  if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE && DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) {
    return STATUS_INVALID_PARAMETER;
  }
  if (instancePath.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  if (kernel.faults.shouldFail(nrv::FaultKind::Pool, nrv::kRegistryKeyTag))
    return STATUS_INSUFFICIENT_RESOURCES;

  nrv::Registry& registry = kernel.registry;
  std::u16string path = DevInstKeyType == PLUGPLAY_REGKEY_DEVICE
                            ? nrv::Registry::deviceKeyPath(kernel.profile, instancePath)
                            : registry.driverKeyPath(kernel.profile, instancePath);
  nrv::RegistryKeyRef key = registry.openKey(path, true);
  *DevInstRegKey = registry.openHandle(std::move(key), DesiredAccess, nrv::runningDriverName(), caller);
  return STATUS_SUCCESS;
}

}  // extern "C"
