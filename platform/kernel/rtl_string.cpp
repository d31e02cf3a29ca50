// Counted strings: initialisation, appending, comparison, and conversion between
// the ANSI code page and UTF-16. Allocating conversions take paged pool, which
// the caller gives back with the matching free routine.
#include <wdm.h>

#include "base/bugcheck.h"
#include "base/code_page.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/pool.h"

namespace nrv {
namespace {

constexpr ULONG kStringTag = 0x69727453;  // "Stri"
constexpr size_t kMaxCountedBytes = 0xFFFF;

void appendWide(PUNICODE_STRING destination, const WCHAR* source, USHORT bytes) {
  memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
  }
}

}  // namespace
}  // namespace nrv

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  size_t bytes = SourceString != nullptr ? nrv::wideLength(SourceString) * sizeof(WCHAR) : 0;
  if (bytes > nrv::kMaxCountedBytes - sizeof(WCHAR)) bytes = nrv::kMaxCountedBytes - sizeof(WCHAR) - 1;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? bytes + sizeof(WCHAR) : 0);
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  size_t bytes = SourceString != nullptr ? strlen(SourceString) : 0;
  if (bytes > nrv::kMaxCountedBytes - 1) bytes = nrv::kMaxCountedBytes - 1;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString != nullptr ? bytes + 1 : 0);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  RtlInitString(DestinationString, SourceString);
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  size_t bytes = size_t(SourceString->Length) * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > nrv::kMaxCountedBytes) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    nrv::requireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
    auto* buffer = static_cast<PWSTR>(nrv::allocatePool(PagedPool, bytes + sizeof(WCHAR), nrv::kStringTag,
                                                        __builtin_return_address(0),
                                                        "RtlAnsiStringToUnicodeString"));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT index = 0; index < SourceString->Length; index++) {
    DestinationString->Buffer[index] =
        static_cast<WCHAR>(nrv::ansiToUnicode(static_cast<unsigned char>(SourceString->Buffer[index])));
  }
  DestinationString->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[SourceString->Length] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  size_t characters = SourceString->Length / sizeof(WCHAR);
  if (AllocateDestinationString) {
    nrv::requireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
    auto* buffer = static_cast<PCHAR>(nrv::allocatePool(PagedPool, characters + 1, nrv::kStringTag,
                                                        __builtin_return_address(0),
                                                        "RtlUnicodeStringToAnsiString"));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(characters + 1);
  } else if (characters > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t index = 0; index < characters; index++) {
    DestinationString->Buffer[index] = nrv::unicodeToAnsi(static_cast<char16_t>(SourceString->Buffer[index]));
  }
  DestinationString->Length = static_cast<USHORT>(characters);
  if (characters < DestinationString->MaximumLength) DestinationString->Buffer[characters] = 0;
  return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) {
    nrv::freePool(UnicodeString->Buffer, __builtin_return_address(0), "RtlFreeUnicodeString");
  }
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr) {
    nrv::freePool(AnsiString->Buffer, __builtin_return_address(0), "RtlFreeAnsiString");
  }
  AnsiString->Buffer = nullptr;
  AnsiString->Length = 0;
  AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source->Length == 0) return STATUS_SUCCESS;
  if (size_t(Destination->Length) + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  nrv::appendWide(Destination, Source->Buffer, Source->Length);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  size_t bytes = nrv::wideLength(Source) * sizeof(WCHAR);
  if (size_t(Destination->Length) + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  nrv::appendWide(Destination, Source, static_cast<USHORT>(bytes));
  return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
  DestinationString->Length = 0;
  nrv::appendWide(DestinationString, SourceString->Buffer, bytes);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  auto fold = [CaseInSensitive](WCHAR c) -> LONG {
    return CaseInSensitive && c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;
  };
  size_t length1 = String1->Length / sizeof(WCHAR), length2 = String2->Length / sizeof(WCHAR);
  for (size_t index = 0; index < length1 && index < length2; index++) {
    LONG difference = fold(String1->Buffer[index]) - fold(String2->Buffer[index]);
    if (difference != 0) return difference;
  }
  return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

}  // extern "C"
