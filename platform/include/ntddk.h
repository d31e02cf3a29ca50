// The NT driver kit's main header: on the host everything a driver uses is in wdm.h.
#pragma once

#include <wdm.h>
