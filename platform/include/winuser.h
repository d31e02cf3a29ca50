// user32: string resources (and, later, message boxes).
#pragma once

#include <windef.h>
