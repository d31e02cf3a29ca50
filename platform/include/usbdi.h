// The USB driver interface a client driver includes.
#pragma once

#include <usb.h>
