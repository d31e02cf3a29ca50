// Texts a record owns, each in a block of the local heap.
#include "nrvusbmn.h"

LPSTR CopyText(LPCSTR Text) {
  LPSTR copy = (LPSTR)LocalAlloc(LMEM_FIXED, lstrlenA(Text) + 1);

  if (copy != NULL) {
    lstrcpyA(copy, Text);
  }
  return copy;
}

VOID FreeText(LPSTR Text) {
  if (Text != NULL) {
    LocalFree(Text);
  }
}
