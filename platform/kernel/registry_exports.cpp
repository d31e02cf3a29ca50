// The kernel's registry routines on handles: values in UTF-16, the documented
// information layouts, and the verifier's view of handles.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/bugcheck.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

constexpr ULONG kFullHeader = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

ULONG alignUp4(ULONG offset) { return (offset + 3) & ~3u; }

// Copies what fits of the bytes at offset in a buffer of length bytes.
void copyWhatFits(void* buffer, ULONG length, ULONG offset, const void* bytes, size_t size) {
  if (offset >= length || size == 0) return;
  memcpy(static_cast<uint8_t*>(buffer) + offset, bytes, std::min<size_t>(size, length - offset));
}

RegistryKeyRef keyOf(HANDLE handle, const char* service, const void* caller) {
  RegistryKeyRef key = nrv::currentKernel().registry.keyOfHandle(handle);
  if (key == nullptr) {
    bugCheck("INVALID_KERNEL_HANDLE", format("%s(%p) from %s: the handle is not an open registry key (closed "
                                             "already, or never opened)",
                                             service, handle, describeCodeAddress(caller).c_str()));
  }
  return key;
}

void requireArgument(bool present, const char* service, const char* what, const void* caller) {
  if (!present) {
    bugCheck("INVALID_PARAMETER",
             format("%s from %s: %s is missing", service, describeCodeAddress(caller).c_str(), what));
  }
}

// A header smaller than the buffer needs is filled all the same, with as much of
// the rest as fits, so that the caller can read the sizes.
NTSTATUS fillFullInformation(const NamedRegistryValue& value, void* buffer, ULONG length, PULONG resultLength) {
  ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
  ULONG dataBytes = static_cast<ULONG>(value.value.bytes.size());
  ULONG dataOffset = alignUp4(kFullHeader + nameBytes);
  ULONG required = dataOffset + dataBytes;
  *resultLength = required;
  if (length < kFullHeader) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = value.value.type;
  info->DataOffset = dataOffset;
  info->DataLength = dataBytes;
  info->NameLength = nameBytes;
  copyWhatFits(buffer, length, kFullHeader, value.name.data(), nameBytes);
  copyWhatFits(buffer, length, dataOffset, value.value.bytes.data(), dataBytes);
  return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS fillPartialInformation(const NamedRegistryValue& value, void* buffer, ULONG length,
                                PULONG resultLength) {
  ULONG dataBytes = static_cast<ULONG>(value.value.bytes.size());
  ULONG required = kPartialHeader + dataBytes;
  *resultLength = required;
  if (length < kPartialHeader) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  info->TitleIndex = 0;
  info->Type = value.value.type;
  info->DataLength = dataBytes;
  copyWhatFits(buffer, length, kPartialHeader, value.value.bytes.data(), dataBytes);
  return length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

}  // namespace nrv

extern "C" {

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  constexpr const char* kService = "ZwQueryValueKey";
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, kService);
  const void* caller = __builtin_return_address(0);
  nrv::RegistryKeyRef key = nrv::keyOf(KeyHandle, kService, caller);
  nrv::requireArgument(ValueName != nullptr, kService, "the value name", caller);
  nrv::requireArgument(ResultLength != nullptr, kService, "the result length", caller);
  nrv::requireArgument(KeyValueInformation != nullptr || Length == 0, kService, "the buffer", caller);
  if (KeyValueInformationClass == KeyValueBasicInformation) {
    nrv::bugCheck("NOT_IMPLEMENTED", "ZwQueryValueKey from " + nrv::describeCodeAddress(caller) +
                                         ": KeyValueBasicInformation is not simulated by this machine");
  }
  if (KeyValueInformationClass != KeyValueFullInformation &&
      KeyValueInformationClass != KeyValuePartialInformation) {
    return STATUS_INVALID_PARAMETER;
  }

  nrv::Registry& registry = nrv::currentKernel().registry;
  if (registry.isDeleted(key)) return STATUS_KEY_DELETED;
  std::optional<nrv::NamedRegistryValue> value = registry.value(key, nrv::fromUnicodeString(*ValueName));
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  return KeyValueInformationClass == KeyValueFullInformation
             ? nrv::fillFullInformation(*value, KeyValueInformation, Length, ResultLength)
             : nrv::fillPartialInformation(*value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  constexpr const char* kService = "ZwSetValueKey";
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, kService);
  const void* caller = __builtin_return_address(0);
  nrv::RegistryKeyRef key = nrv::keyOf(KeyHandle, kService, caller);
  nrv::requireArgument(ValueName != nullptr, kService, "the value name", caller);
  nrv::requireArgument(Data != nullptr || DataSize == 0, kService, "the data", caller);
  const auto* bytes = static_cast<const uint8_t*>(Data);
  std::vector<uint8_t> stored = DataSize == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + DataSize);
  bool set = nrv::currentKernel().registry.setValue(key, nrv::fromUnicodeString(*ValueName), Type,
                                                    std::move(stored));
  return set ? STATUS_SUCCESS : STATUS_KEY_DELETED;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  nrv::requireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  if (!nrv::currentKernel().registry.closeHandle(Handle)) {
    nrv::bugCheck("INVALID_KERNEL_HANDLE",
                  nrv::format("ZwClose(%p) from %s: the handle is not open (closed already, or never opened)",
                              Handle, nrv::describeCodeAddress(__builtin_return_address(0)).c_str()));
  }
  return STATUS_SUCCESS;
}

}  // extern "C"
