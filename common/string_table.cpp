#include "string_table.h"

#include "language_base.h"

VOID LoadFixedText(UINT Identifier, LPSTR Buffer, int BufferSize) {
  // A text that cannot be loaded reads as empty, whatever the loader left behind.
  if (LoadStringA(ModuleInstance, Identifier, Buffer, BufferSize) <= 0) {
    Buffer[0] = 0;
  }
}

VOID LoadLanguageText(UINT Offset, LPSTR Buffer, int BufferSize) {
  LoadFixedText(LanguageBase() + Offset, Buffer, BufferSize);
}
