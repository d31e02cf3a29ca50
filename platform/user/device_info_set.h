// A device information set: what setupapi found when the program asked, kept
// unchanged until the program destroys it. It lists devices, either those
// that registered device interfaces of one class, with each interface's Win32
// path and whether it was active (its device attached, its driver having
// enabled it), or those of one setup class.
#pragma once

#include <setupapi.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "user/process.h"

namespace nrv {

struct DeviceInfoEntry {
  std::u16string instancePath;
  GUID setupClass;
};

struct DeviceInterfaceEntry {
  size_t device;  // index in the set's devices
  GUID interfaceClass;
  std::string devicePath;  // "\\?\usb#vid_0a5f&pid_0027#nrv0001#{...}"
  bool active;
};

class PnpManager;
struct DeviceNode;

// The node of a device attached now: one the Plug and Play manager has not
// removed and whose device has not left; null when it is not attached.
DeviceNode* attachedNode(PnpManager& pnp, const std::u16string& instancePath);

class DeviceInfoSet : public HandleObject {
 public:
  // Every device that ever registered an interface of the class, as the
  // registry records them; with presentOnly, only those whose interface is active now.
  static std::unique_ptr<DeviceInfoSet> ofInterfaceClass(UserServices& services, const GUID& interfaceClass,
                                                         bool presentOnly);

  // Every device node of the setup class the registry holds, in its order; with
  // presentOnly, only those the Plug and Play manager has attached now.
  static std::unique_ptr<DeviceInfoSet> ofSetupClass(UserServices& services, const GUID& setupClass,
                                                     bool presentOnly);

  const char* kind() const override { return "a device information set"; }

  const std::vector<DeviceInfoEntry>& devices() const { return devices_; }
  const std::vector<DeviceInterfaceEntry>& interfaces() const { return interfaces_; }

  // The records a program gets carry in Reserved which entry they describe.
  void describe(size_t device, SP_DEVINFO_DATA& data) const;
  void describe(const DeviceInterfaceEntry& entry, SP_DEVICE_INTERFACE_DATA& data) const;
  // The entry a record names; null for a record of another set or a forged one.
  const DeviceInfoEntry* deviceOf(const SP_DEVINFO_DATA& data) const;
  const DeviceInterfaceEntry* interfaceOf(const SP_DEVICE_INTERFACE_DATA& data) const;

 private:
  size_t addDevice(UserServices& services, const std::u16string& instancePath);

  std::vector<DeviceInfoEntry> devices_;
  std::vector<DeviceInterfaceEntry> interfaces_;
};

}  // namespace nrv
