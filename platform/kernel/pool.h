// Pool allocation for the kernel's own services that hand memory to drivers
// (link names, converted strings): charged to the driver that is running.
#pragma once

#include <wdm.h>

namespace nrv {

// Returns null when fault injection or the host says no.
void* allocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, const void* caller, const char* service);
void freePool(void* address, const void* caller, const char* service);

}  // namespace nrv
