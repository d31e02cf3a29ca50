// A driver that calls the C library's malloc, which the kernel does not
// export: the machine refuses to load it, as Windows would.
#include <wdm.h>

#include <stdlib.h>

// Kept where the compiler cannot see it unused.
void* Kept;

NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path) {
  UNREFERENCED_PARAMETER(Path);
  Driver->DriverExtension->AddDevice = nullptr;
  Kept = malloc(16);
  return STATUS_SUCCESS;
}
