// Texts of a deliverable's own string table: a text that does not depend on
// the language stands at a fixed identifier; a text meant for people stands
// in the language block the system's default locale chooses.
#pragma once

#include <windows.h>

extern "C" {
// The deliverable's instance handle, kept by its entry; every text is loaded through it.
extern HINSTANCE ModuleInstance;
}

// The buffer is emptied when the text cannot be loaded.
VOID LoadFixedText(UINT Identifier, LPSTR Buffer, int BufferSize);
VOID LoadLanguageText(UINT Offset, LPSTR Buffer, int BufferSize);
