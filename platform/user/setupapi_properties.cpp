// SetupDiGetDeviceRegistryPropertyA: a device's properties as its instance
// key keeps them. ID lists are always handed out as REG_MULTI_SZ, although
// Windows 98 keeps them as one comma-separated REG_SZ. The size protocol is
// RegQueryValueEx's: a missing or short buffer gets ERROR_INSUFFICIENT_BUFFER
// with the size needed, and nothing is written to it.
#include <setupapi.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/system_locale.h"
#include "base/text.h"
#include "kernel/registry.h"
#include "user/setupapi_calls.h"

using nrv::setupapi::deviceNamed;
using nrv::setupapi::finish;
using nrv::setupapi::refuse;

namespace {

struct PropertyValue {
  DWORD property;
  const char16_t* valueName;
  bool idList;
};

constexpr PropertyValue kProperties[] = {
    {SPDRP_DEVICEDESC, u"DeviceDesc", false},
    {SPDRP_HARDWAREID, u"HardwareID", true},
    {SPDRP_COMPATIBLEIDS, u"CompatibleIDs", true},
};

std::vector<std::u16string> split(const std::u16string& text, char16_t separator) {
  std::vector<std::u16string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::u16string::npos; start = end + 1) {
    parts.push_back(text.substr(start, end - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The IDs of a list value: REG_MULTI_SZ up to its empty string; a REG_SZ
// holds them separated by commas (Windows 98), or one ID.
std::optional<std::vector<std::u16string>> idsOf(const nrv::RegistryValue& value, nrv::OsProfile profile) {
  if (value.type == REG_MULTI_SZ) {
    std::u16string all(reinterpret_cast<const char16_t*>(value.bytes.data()),
                       value.bytes.size() / sizeof(char16_t));
    std::vector<std::u16string> ids;
    for (const std::u16string& id : split(all, u'\0')) {
      if (id.empty()) break;
      ids.push_back(id);
    }
    return ids;
  }
  if (value.type != REG_SZ) return std::nullopt;
  std::u16string text = nrv::registryStringText(value.bytes);
  if (profile == nrv::OsProfile::Windows98) return split(text, u',');
  return std::vector<std::u16string>{text};
}

// The property's bytes as the program gets them, in the ANSI code page.
std::optional<std::string> ansiBytesOf(const nrv::RegistryValue& value, const PropertyValue& property,
                                       nrv::UserServices& services) {
  if (!property.idList) {
    if (value.type != REG_SZ) return std::nullopt;
    return services.locale.toAnsi(nrv::registryStringText(value.bytes)) + '\0';
  }
  std::optional<std::vector<std::u16string>> ids = idsOf(value, services.profile);
  if (!ids) return std::nullopt;
  std::string bytes;
  for (const std::u16string& id : *ids) bytes += services.locale.toAnsi(id) + '\0';
  return bytes + '\0';
}

}  // namespace

extern "C" {

WINSETUPAPI BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                          PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                          PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                          DWORD PropertyBufferSize, PDWORD RequiredSize) {
  static const char* const kRoutine = "SetupDiGetDeviceRegistryPropertyA";
  nrv::Process& process = nrv::currentProcess(kRoutine);
  const nrv::DeviceInfoEntry* device = nullptr;
  DWORD error = deviceNamed(process, DeviceInfoSet, DeviceInfoData, &device);
  if (error != NO_ERROR) return finish(kRoutine, error);
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return finish(kRoutine, ERROR_INVALID_REG_PROPERTY);
  const PropertyValue* property = nullptr;
  for (const PropertyValue& known : kProperties) {
    if (known.property == Property) property = &known;
  }
  if (property == nullptr)
    refuse(kRoutine, nrv::format("the device property %u", static_cast<unsigned>(Property)));
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0)
    return finish(kRoutine, ERROR_INVALID_USER_BUFFER);

  nrv::UserServices& services = process.services();
  std::u16string instanceKey = nrv::Registry::instanceKeyPath(services.profile, device->instancePath);
  if (!services.registry.keyExists(instanceKey)) return finish(kRoutine, ERROR_NO_SUCH_DEVINST);
  std::optional<nrv::RegistryValue> value = services.registry.value(instanceKey, property->valueName);
  std::optional<std::string> bytes = value ? ansiBytesOf(*value, *property, services) : std::nullopt;
  if (!bytes) return finish(kRoutine, ERROR_INVALID_DATA);

  DWORD type = property->idList ? REG_MULTI_SZ : REG_SZ;
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = type;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(bytes->size());
  if (PropertyBufferSize < bytes->size()) return finish(kRoutine, ERROR_INSUFFICIENT_BUFFER);
  memcpy(PropertyBuffer, bytes->data(), bytes->size());
  return finish(kRoutine, NO_ERROR);
}

}  // extern "C"
