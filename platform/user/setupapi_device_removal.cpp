// Uninstalling devices: SetupDiRemoveDevice and SetupDiDeleteDevRegKey.
//
// A device that is attached is taken away through the Plug and Play manager
// first (query-remove, then remove, its children with it); a veto, or a
// handle a program still has open on it, fails the call with
// ERROR_CANT_REMOVE_DEVINST and leaves everything in place. Its registry
// keys then go: the instance key with everything below it, the driver key
// and the device's interface registrations. The physical device stays on its
// bus, plugged in and without a device node, until it is unplugged or the
// machine restarts; its children's keys stay, as Windows keeps those of a
// device that is not present. The set keeps the device's entry, so a
// program's index over the set goes on to the next one.
#include <setupapi.h>
#include <windows.h>

#include "kernel/interface_registrations.h"
#include "kernel/pnp_manager.h"
#include "kernel/registry.h"
#include "user/setupapi_calls.h"

using nrv::setupapi::deviceNamed;
using nrv::setupapi::finish;
using nrv::setupapi::refuse;

extern "C" {

WINSETUPAPI BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  static const char* const kRoutine = "SetupDiRemoveDevice";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  const nrv::DeviceInfoEntry* device = nullptr;
  DWORD error = deviceNamed(process, DeviceInfoSet, DeviceInfoData, &device);
  if (error != NO_ERROR) return finish(kRoutine, error);

  nrv::UserServices& services = process.services();
  if (nrv::DeviceNode* node = nrv::attachedNode(services.pnp, device->instancePath)) {
    NTSTATUS status = services.pnp.removeOrderly(*node, nrv::PnpManager::AfterRemoval::KeepDevice);
    if (!NT_SUCCESS(status)) return finish(kRoutine, ERROR_CANT_REMOVE_DEVINST);
  } else if (!services.registry.keyExists(
                 nrv::Registry::instanceKeyPath(services.profile, device->instancePath))) {
    return finish(kRoutine, ERROR_NO_SUCH_DEVINST);
  }
  nrv::deleteInterfaceRegistrations(services.registry, device->instancePath);
  services.registry.deleteDeviceNode(services.profile, device->instancePath);
  return finish(kRoutine, NO_ERROR);
}

// The device key (DIREG_DEV) is the node's "Device Parameters" subkey on
// Windows 2000; on Windows 98 it is the instance key itself, which only the
// device's removal deletes. The driver key (DIREG_DRV) goes with the Driver
// value that names it.
WINSETUPAPI BOOL WINAPI SetupDiDeleteDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               DWORD Scope, DWORD HwProfile, DWORD KeyType) {
  static const char* const kRoutine = "SetupDiDeleteDevRegKey";
  UNREFERENCED_PARAMETER(HwProfile);  // only configuration-specific keys belong to a hardware profile
  nrv::Process& process = nrv::currentProcess(kRoutine);
  const nrv::DeviceInfoEntry* device = nullptr;
  DWORD error = deviceNamed(process, DeviceInfoSet, DeviceInfoData, &device);
  if (error != NO_ERROR) return finish(kRoutine, error);
  if (Scope == DICS_FLAG_CONFIGSPECIFIC) refuse(kRoutine, "hardware profile keys (DICS_FLAG_CONFIGSPECIFIC)");
  if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV && KeyType != DIREG_BOTH))
    return finish(kRoutine, ERROR_INVALID_FLAGS);

  nrv::UserServices& services = process.services();
  bool deleted = false;
  if (KeyType != DIREG_DRV) {
    if (services.profile == nrv::OsProfile::Windows98)
      refuse(kRoutine, "deleting the device key of a Windows 98 device node, which is its instance key,");
    deleted =
        services.registry.deleteTree(nrv::Registry::deviceKeyPath(services.profile, device->instancePath));
  }
  if (KeyType != DIREG_DEV)
    deleted |= services.registry.deleteDriverKey(services.profile, device->instancePath);
  return finish(kRoutine, deleted ? NO_ERROR : ERROR_KEY_DOES_NOT_EXIST);
}

}  // extern "C"
