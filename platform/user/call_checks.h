// Checks the system routines make of what a program passes them. Where
// Windows documents an error the routine returns it; where Windows would
// simply fault (a NULL it writes through) or corrupt memory (a buffer that
// runs past its block), the machine stops and names the call instead.
#pragma once

#include <windows.h>

#include <cstddef>

namespace nrv {

class Process;

// Stops the machine when pointer is NULL: parameter names it ("lpOverlapped").
void requirePointer(const void* pointer, const char* service, const char* parameter, const void* caller);
// Stops the machine when a buffer that starts inside one of the process's
// memory blocks runs past that block's end.
void checkBufferFits(Process& process, const void* buffer, size_t length, const char* service,
                     const void* caller);
// The calling thread's last error.
void setLastError(DWORD error);

}  // namespace nrv
