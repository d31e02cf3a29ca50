// user32: string resources (and, later, message boxes).
#pragma once

#include <windef.h>

WINUSERAPI int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
