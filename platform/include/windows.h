// The Win32 API the user-mode deliverables call, for the host build: each
// declaration follows the documented one, and only what the product uses is
// declared. The machine's user-mode library implements every routine.
#pragma once

#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winreg.h>
#include <winuser.h>
#include <winver.h>
