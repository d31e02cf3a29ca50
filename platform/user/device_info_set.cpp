#include "user/device_info_set.h"

#include <cstdio>
#include <cstring>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/device_interfaces.h"
#include "kernel/interface_registrations.h"
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

template <typename Entry>
const Entry* entryAt(const std::vector<Entry>& entries, ULONG_PTR reserved) {
  for (const Entry& entry : entries) {
    if (reinterpret_cast<ULONG_PTR>(&entry) == reserved) return &entry;
  }
  return nullptr;
}

}  // namespace

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
