#include "kernel/interface_registrations.h"

#include <algorithm>

#include "kernel/device_interfaces.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

constexpr std::u16string_view kDeviceClasses =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\";
constexpr std::u16string_view kKernelPrefix = u"\\??\\";
constexpr std::u16string_view kWin32Prefix = u"\\\\?\\";
constexpr std::u16string_view kKeyPrefix = u"##?#";

// Instance paths, like the key names they come from, compare without regard to case.
bool sameInstancePath(std::u16string_view first, std::u16string_view second) {
  auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
  return first.size() == second.size() &&
         std::equal(first.begin(), first.end(), second.begin(),
                    [&](char16_t a, char16_t b) { return fold(a) == fold(b); });
}

std::u16string classKeyPath(const GUID& interfaceClass) {
  return std::u16string(kDeviceClasses) + guidText(interfaceClass);
}

}  // namespace

void recordInterfaceRegistration(Registry& registry, const GUID& interfaceClass, std::u16string_view linkName,
                                 std::u16string_view instancePath) {
  // The link name is "\??\" and the device's part; a reference string follows a backslash.
  std::u16string_view device = linkName.substr(kKernelPrefix.size());
  size_t separator = device.find(u'\\');
  std::u16string_view reference =
      separator == std::u16string_view::npos ? std::u16string_view() : device.substr(separator + 1);
  device = device.substr(0, separator);

  std::u16string interfaceKey =
      classKeyPath(interfaceClass) + u"\\" + std::u16string(kKeyPrefix) + std::u16string(device);
  registry.setString(interfaceKey, u"DeviceInstance", instancePath);
  registry.setString(interfaceKey + u"\\#" + std::u16string(reference), u"SymbolicLink",
                     std::u16string(kWin32Prefix) + std::u16string(linkName.substr(kKernelPrefix.size())));
}

std::vector<InterfaceRegistration> interfaceRegistrations(const Registry& registry,
                                                          const GUID& interfaceClass) {
  std::vector<InterfaceRegistration> found;
  std::u16string classKey = classKeyPath(interfaceClass);
  for (const std::u16string& name : registry.subkeys(classKey)) {
    std::u16string interfaceKey = classKey + u"\\" + name;
    std::optional<std::u16string> instance = registry.stringValue(interfaceKey, u"DeviceInstance");
    if (!instance) continue;
    for (const std::u16string& reference : registry.subkeys(interfaceKey)) {
      if (reference.empty() || reference.front() != u'#') continue;
      std::optional<std::u16string> link =
          registry.stringValue(interfaceKey + u"\\" + reference, u"SymbolicLink");
      if (link && link->starts_with(kWin32Prefix)) found.push_back(InterfaceRegistration{*instance, *link});
    }
  }
  return found;
}

size_t deleteInterfaceRegistrations(Registry& registry, std::u16string_view instancePath) {
  size_t deleted = 0;
  for (const std::u16string& interfaceClass :
       registry.subkeys(kDeviceClasses.substr(0, kDeviceClasses.size() - 1))) {
    std::u16string classKey = std::u16string(kDeviceClasses) + interfaceClass;
    for (const std::u16string& name : registry.subkeys(classKey)) {
      std::u16string interfaceKey = classKey + u"\\" + name;
      std::optional<std::u16string> instance = registry.stringValue(interfaceKey, u"DeviceInstance");
      if (instance && sameInstancePath(*instance, instancePath) && registry.deleteTree(interfaceKey))
        deleted++;
    }
  }
  return deleted;
}

std::u16string linkNameOfWin32Path(std::u16string_view path) {
  if (!path.starts_with(kWin32Prefix)) return std::u16string();
  return std::u16string(kKernelPrefix) + std::u16string(path.substr(kWin32Prefix.size()));
}

}  // namespace nrv
