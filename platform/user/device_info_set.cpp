#include "user/device_info_set.h"

#include <cstdio>
#include <cstring>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/device_interfaces.h"
#include "kernel/interface_registrations.h"
#include "kernel/pnp_manager.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

// "{36fc9e60-c465-11cf-8056-444553540000}"; the null GUID for anything else.
GUID parseGuid(const std::u16string& text) {
  GUID guid{};
  unsigned data[11];
  int consumed = 0;
  if (std::sscanf(toUtf8(text).c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &data[0], &data[1],
                  &data[2], &data[3], &data[4], &data[5], &data[6], &data[7], &data[8], &data[9], &data[10],
                  &consumed) != 11 ||
      static_cast<size_t>(consumed) != text.size()) {
    return guid;
  }
  guid.Data1 = data[0];
  guid.Data2 = static_cast<USHORT>(data[1]);
  guid.Data3 = static_cast<USHORT>(data[2]);
  for (int index = 0; index < 8; index++) guid.Data4[index] = static_cast<UCHAR>(data[3 + index]);
  return guid;
}

// Programs get interface paths in lower case, as Windows hands them out; the
// names compare without regard to case.
std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Windows 98 names a node's setup class in its Class value; these are the
// classes whose names this machine knows.
struct ClassName {
  GUID setupClass;
  const char16_t* name;
};
constexpr ClassName kClassNames[] = {
    {{0x4d36e979, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}}, u"Printer"},
    {{0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}}, u"USB"},
};

bool sameGuid(const GUID& first, const GUID& second) { return memcmp(&first, &second, sizeof(GUID)) == 0; }

std::u16string upperCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

// Whether the node's instance key puts it in the setup class: Windows 2000
// by its ClassGUID, Windows 98 by its Class name.
bool inSetupClass(const UserServices& services, const std::u16string& instancePath, const GUID& setupClass) {
  std::u16string key = Registry::instanceKeyPath(services.profile, instancePath);
  if (services.profile == OsProfile::Windows2000) {
    std::optional<std::u16string> classGuid = services.registry.stringValue(key, u"ClassGUID");
    return classGuid && sameGuid(parseGuid(*classGuid), setupClass);
  }
  std::optional<std::u16string> className = services.registry.stringValue(key, u"Class");
  for (const ClassName& known : kClassNames) {
    if (sameGuid(known.setupClass, setupClass))
      return className && upperCase(*className) == upperCase(known.name);
  }
  return false;
}

template <typename Entry>
const Entry* entryAt(const std::vector<Entry>& entries, ULONG_PTR reserved) {
  for (const Entry& entry : entries) {
    if (reinterpret_cast<ULONG_PTR>(&entry) == reserved) return &entry;
  }
  return nullptr;
}

}  // namespace

DeviceNode* attachedNode(PnpManager& pnp, const std::u16string& instancePath) {
  for (DeviceNode* node : pnp.nodes()) {
    if (node->state != DeviceNodeState::Removed && !node->gone &&
        upperCase(node->instancePath) == upperCase(instancePath)) {
      return node;
    }
  }
  return nullptr;
}

std::unique_ptr<DeviceInfoSet> DeviceInfoSet::ofInterfaceClass(UserServices& services,
                                                               const GUID& interfaceClass, bool presentOnly) {
  auto set = std::make_unique<DeviceInfoSet>();
  for (const InterfaceRegistration& registration :
       interfaceRegistrations(services.registry, interfaceClass)) {
    bool active = services.interfaces.findEnabled(linkNameOfWin32Path(registration.symbolicLink)) != nullptr;
    if (presentOnly && !active) continue;
    size_t device = set->addDevice(services, registration.instancePath);
    set->interfaces_.push_back(DeviceInterfaceEntry{
        device, interfaceClass, lowerCase(services.locale.toAnsi(registration.symbolicLink)), active});
  }
  return set;
}

std::unique_ptr<DeviceInfoSet> DeviceInfoSet::ofSetupClass(UserServices& services, const GUID& setupClass,
                                                           bool presentOnly) {
  auto set = std::make_unique<DeviceInfoSet>();
  for (const std::u16string& instancePath : services.registry.deviceNodes(services.profile)) {
    if (!inSetupClass(services, instancePath, setupClass)) continue;
    if (presentOnly && attachedNode(services.pnp, instancePath) == nullptr) continue;
    set->devices_.push_back(DeviceInfoEntry{instancePath, setupClass});
  }
  return set;
}

size_t DeviceInfoSet::addDevice(UserServices& services, const std::u16string& instancePath) {
  for (size_t index = 0; index < devices_.size(); index++) {
    if (devices_[index].instancePath == instancePath) return index;
  }
  std::optional<std::u16string> setupClass =
      services.registry.stringValue(Registry::instanceKeyPath(services.profile, instancePath), u"ClassGUID");
  devices_.push_back(DeviceInfoEntry{instancePath, setupClass ? parseGuid(*setupClass) : GUID{}});
  return devices_.size() - 1;
}

void DeviceInfoSet::describe(size_t device, SP_DEVINFO_DATA& data) const {
  data.ClassGuid = devices_[device].setupClass;
  // Device instance handles number the set's devices from 1.
  data.DevInst = static_cast<DWORD>(device + 1);
  data.Reserved = reinterpret_cast<ULONG_PTR>(&devices_[device]);
}

void DeviceInfoSet::describe(const DeviceInterfaceEntry& entry, SP_DEVICE_INTERFACE_DATA& data) const {
  data.InterfaceClassGuid = entry.interfaceClass;
  data.Flags = entry.active ? SPINT_ACTIVE : 0;
  data.Reserved = reinterpret_cast<ULONG_PTR>(&entry);
}

const DeviceInfoEntry* DeviceInfoSet::deviceOf(const SP_DEVINFO_DATA& data) const {
  return entryAt(devices_, data.Reserved);
}

const DeviceInterfaceEntry* DeviceInfoSet::interfaceOf(const SP_DEVICE_INTERFACE_DATA& data) const {
  return entryAt(interfaces_, data.Reserved);
}

}  // namespace nrv
