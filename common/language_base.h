// The language block of a deliverable's string table. Every text meant for
// people stands once per language, at the block's first identifier plus the
// text's offset; the block follows the system's default locale, looked up
// afresh for every text so that a change of locale shows at once.
#pragma once

#include <windows.h>

DWORD LanguageBase(VOID);
