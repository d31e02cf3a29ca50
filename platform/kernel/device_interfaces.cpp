#include "kernel/device_interfaces.h"

#include <algorithm>

#include "base/bugcheck.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/interface_registrations.h"
#include "kernel/physical_device.h"
#include "kernel/pool.h"

namespace nrv {

namespace {

constexpr ULONG kInterfaceTag = 0x49446F49;  // "IoDI"

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool sameName(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return fold(x) == fold(y);
         });
}

}  // namespace

std::u16string guidText(const GUID& guid) {
  return toUtf16(format("{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2, guid.Data3,
                        guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                        guid.Data4[6], guid.Data4[7]));
}

std::u16string DeviceInterfaces::registerInterface(PDEVICE_OBJECT physicalDevice, const std::u16string& instancePath,
                                                   const GUID& interfaceClass,
                                                   const std::u16string& referenceString) {
  std::u16string link = u"\\??\\" + instancePath;
  std::replace(link.begin() + 4, link.end(), u'\\', u'#');
  link += u"#" + guidText(interfaceClass);
  if (!referenceString.empty()) link += u"\\" + referenceString;

  std::lock_guard<std::mutex> guard(lock_);
  InterfaceRecord* known = find(link);
  if (known == nullptr) {
    records_.push_back(InterfaceRecord{link, physicalDevice, interfaceClass, false});
  } else {
    // The same device plugged in again keeps its link name, on its new physical device object.
    known->physicalDevice = physicalDevice;
  }
  return link;
}

InterfaceRecord* DeviceInterfaces::find(const std::u16string& linkName) {
  for (InterfaceRecord& record : records_) {
    if (sameName(record.linkName, linkName)) return &record;
  }
  return nullptr;
}

NTSTATUS DeviceInterfaces::setState(const std::u16string& linkName, bool enable) {
  std::lock_guard<std::mutex> guard(lock_);
  InterfaceRecord* record = find(linkName);
  if (record == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (record->enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  record->enabled = enable;
  return STATUS_SUCCESS;
}

const InterfaceRecord* DeviceInterfaces::findEnabled(const std::u16string& linkName) {
  std::lock_guard<std::mutex> guard(lock_);
  InterfaceRecord* record = find(linkName);
  return record != nullptr && record->enabled ? record : nullptr;
}

std::optional<std::u16string> DeviceInterfaces::enabledLinkOf(const std::u16string& path) {
  std::lock_guard<std::mutex> guard(lock_);
  // The longest link wins: a link with a reference string extends the one without.
  std::optional<std::u16string> best;
  for (const InterfaceRecord& record : records_) {
    size_t length = record.linkName.size();
    if (!record.enabled || path.size() < length || (best && best->size() >= length)) continue;
    if (path.size() > length && path[length] != u'\\') continue;
    if (sameName(record.linkName, path.substr(0, length))) best = record.linkName;
  }
  return best;
}

std::vector<InterfaceRecord> DeviceInterfaces::list(const GUID& interfaceClass) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<InterfaceRecord> result;
  for (const InterfaceRecord& record : records_) {
    if (memcmp(&record.interfaceClass, &interfaceClass, sizeof(GUID)) == 0) result.push_back(record);
  }
  return result;
}

void DeviceInterfaces::disableAll(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> guard(lock_);
  for (InterfaceRecord& record : records_) {
    if (record.physicalDevice == physicalDevice) record.enabled = false;
  }
}

}  // namespace nrv

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  nrv::KernelParts& kernel = nrv::currentKernel();
  nrv::DeviceRecord& device = kernel.devices.lookup(PhysicalDeviceObject, "IoRegisterDeviceInterface");
  if (device.physical == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string link = kernel.interfaces.registerInterface(
      PhysicalDeviceObject, device.physical->instancePath(), *InterfaceClassGuid,
      ReferenceString != nullptr ? nrv::fromUnicodeString(*ReferenceString) : std::u16string());
  nrv::recordInterfaceRegistration(kernel.registry, *InterfaceClassGuid, link, device.physical->instancePath());

  size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(nrv::allocatePool(PagedPool, bytes, nrv::kInterfaceTag,
                                                      __builtin_return_address(0), "IoRegisterDeviceInterface"));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  return nrv::currentKernel().interfaces.setState(nrv::fromUnicodeString(*SymbolicLinkName), Enable != FALSE);
}

}  // extern "C"
