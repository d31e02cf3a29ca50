// setupapi's device information sets, for device interface classes and for
// setup classes, and the devices' registry keys.
#include <setupapi.h>
#include <windows.h>

#include <cstring>

#include "base/fault_injector.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/device_info_set.h"
#include "user/registry_keys.h"
#include "user/setupapi_calls.h"

using nrv::setupapi::checkDeviceRecord;
using nrv::setupapi::deviceNamed;
using nrv::setupapi::finish;
using nrv::setupapi::refuse;
using nrv::setupapi::setOf;

namespace {

constexpr DWORD kKnownClassDevsFlags =
    DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

// The fixed part of the detail record and the one character an empty path needs.
constexpr DWORD kSmallestDetail = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof(CHAR);

std::u16string keyPathOf(nrv::UserServices& services, const nrv::DeviceInfoEntry& device, DWORD keyType) {
  if (keyType == DIREG_DEV) return nrv::Registry::deviceKeyPath(services.profile, device.instancePath);
  return services.registry.installedDriverKeyPath(services.profile, device.instancePath).value_or(u"");
}

}  // namespace

extern "C" {

WINSETUPAPI HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                 DWORD Flags) {
  static const char* const kRoutine = "SetupDiGetClassDevsA";
  UNREFERENCED_PARAMETER(hwndParent);
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if ((Flags & ~kKnownClassDevsFlags) != 0) {
    finish(kRoutine, ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if ((Flags & (DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEFAULT)) != 0)
    refuse(kRoutine,
           nrv::format("the flags 0x%x (all classes, hardware profiles, default interfaces)",
                       static_cast<unsigned>(Flags & (DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEFAULT))));
  if (Enumerator != nullptr) refuse(kRoutine, nrv::format("sets limited to the enumerator '%s'", Enumerator));
  if (ClassGuid == nullptr) {
    finish(kRoutine, ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // The set is the program's memory: under low resources it cannot be made.
  if (process.services().faults.shouldFail(nrv::FaultKind::UserAllocation)) {
    finish(kRoutine, ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  bool presentOnly = (Flags & DIGCF_PRESENT) != 0;
  auto set = (Flags & DIGCF_DEVICEINTERFACE) != 0
                 ? nrv::DeviceInfoSet::ofInterfaceClass(process.services(), *ClassGuid, presentOnly)
                 : nrv::DeviceInfoSet::ofSetupClass(process.services(), *ClassGuid, presentOnly);
  HANDLE handle = process.addHandle(std::move(set), __builtin_return_address(0));
  finish(kRoutine, NO_ERROR);
  return handle;
}

WINSETUPAPI BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                              PSP_DEVINFO_DATA DeviceInfoData) {
  static const char* const kRoutine = "SetupDiEnumDeviceInfo";
  nrv::DeviceInfoSet* set = setOf(nrv::currentProcess(kRoutine), DeviceInfoSet);
  if (set == nullptr) return finish(kRoutine, ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return finish(kRoutine, ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return finish(kRoutine, ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= set->devices().size()) return finish(kRoutine, ERROR_NO_MORE_ITEMS);
  set->describe(MemberIndex, *DeviceInfoData);
  return finish(kRoutine, NO_ERROR);
}

WINSETUPAPI BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                    PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  static const char* const kRoutine = "SetupDiEnumDeviceInterfaces";
  nrv::DeviceInfoSet* set = setOf(nrv::currentProcess(kRoutine), DeviceInfoSet);
  if (set == nullptr) return finish(kRoutine, ERROR_INVALID_HANDLE);
  const nrv::DeviceInfoEntry* device = nullptr;
  if (DeviceInfoData != nullptr) {
    DWORD error = checkDeviceRecord(*set, DeviceInfoData, &device);
    if (error != NO_ERROR) return finish(kRoutine, error);
  }
  if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
    return finish(kRoutine, ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return finish(kRoutine, ERROR_INVALID_USER_BUFFER);
  DWORD seen = 0;
  for (const nrv::DeviceInterfaceEntry& entry : set->interfaces()) {
    if (memcmp(&entry.interfaceClass, InterfaceClassGuid, sizeof(GUID)) != 0) continue;
    if (device != nullptr && &set->devices()[entry.device] != device) continue;
    if (seen++ == MemberIndex) {
      set->describe(entry, *DeviceInterfaceData);
      return finish(kRoutine, NO_ERROR);
    }
  }
  return finish(kRoutine, ERROR_NO_MORE_ITEMS);
}

WINSETUPAPI BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  static const char* const kRoutine = "SetupDiGetDeviceInterfaceDetailA";
  nrv::DeviceInfoSet* set = setOf(nrv::currentProcess(kRoutine), DeviceInfoSet);
  if (set == nullptr) return finish(kRoutine, ERROR_INVALID_HANDLE);
  if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return finish(kRoutine, ERROR_INVALID_PARAMETER);
  const nrv::DeviceInterfaceEntry* entry = set->interfaceOf(*DeviceInterfaceData);
  if (entry == nullptr) return finish(kRoutine, ERROR_INVALID_PARAMETER);
  bool badDetail = DeviceInterfaceDetailData == nullptr
                       ? DeviceInterfaceDetailDataSize != 0
                       : DeviceInterfaceDetailDataSize < kSmallestDetail ||
                             DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (badDetail) return finish(kRoutine, ERROR_INVALID_USER_BUFFER);
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return finish(kRoutine, ERROR_INVALID_USER_BUFFER);

  DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                      entry->devicePath.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = required;
  // The device is described even when the path does not fit, as the native library does.
  if (DeviceInfoData != nullptr) set->describe(entry->device, *DeviceInfoData);
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required)
    return finish(kRoutine, ERROR_INSUFFICIENT_BUFFER);
  memcpy(DeviceInterfaceDetailData->DevicePath, entry->devicePath.c_str(), entry->devicePath.size() + 1);
  return finish(kRoutine, NO_ERROR);
}

WINSETUPAPI HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                             DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
  static const char* const kRoutine = "SetupDiOpenDevRegKey";
  const auto failed = [](DWORD error) {
    finish(kRoutine, error);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  };
  UNREFERENCED_PARAMETER(HwProfile);   // only configuration-specific keys belong to a hardware profile
  UNREFERENCED_PARAMETER(samDesired);  // the machine's keys carry no security to check it against
  nrv::Process& process = nrv::currentProcess(kRoutine);
  const nrv::DeviceInfoEntry* device = nullptr;
  DWORD error = deviceNamed(process, DeviceInfoSet, DeviceInfoData, &device);
  if (error != NO_ERROR) return failed(error);
  if (Scope == DICS_FLAG_CONFIGSPECIFIC) refuse(kRoutine, "hardware profile keys (DICS_FLAG_CONFIGSPECIFIC)");
  if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV))
    return failed(ERROR_INVALID_FLAGS);

  nrv::UserServices& services = process.services();
  if (services.faults.shouldFail(nrv::FaultKind::RegistryOpen)) return failed(ERROR_NO_SYSTEM_RESOURCES);
  std::u16string path = keyPathOf(services, *device, KeyType);
  nrv::RegistryKeyRef key = path.empty() ? nullptr : services.registry.openKey(path, false);
  if (key == nullptr) return failed(ERROR_KEY_DOES_NOT_EXIST);
  HKEY handle = nrv::openKeyHandle(process, key, __builtin_return_address(0));
  finish(kRoutine, NO_ERROR);
  return handle;
}

WINSETUPAPI BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  static const char* const kRoutine = "SetupDiDestroyDeviceInfoList";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  if (setOf(process, DeviceInfoSet) == nullptr) return finish(kRoutine, ERROR_INVALID_HANDLE);
  process.removeHandle(DeviceInfoSet);
  return finish(kRoutine, NO_ERROR);
}

}  // extern "C"
