// Text compared without regard to the case of ASCII letters, the way the
// system compares the section names of an .ini file and the names of keys.
#include "cleanup.h"

static CHAR AsciiLower(CHAR Character) {
  return Character >= 'A' && Character <= 'Z' ? (CHAR)(Character - 'A' + 'a') : Character;
}

// The comparison stops at the first difference, so a text shorter than the
// pattern ends it at its NUL.
BOOL StartsWithNoCase(LPCSTR Text, LPCSTR Pattern) {
  while (*Pattern != '\0') {
    if (AsciiLower(*Text) != AsciiLower(*Pattern)) {
      return FALSE;
    }
    Text++;
    Pattern++;
  }
  return TRUE;
}

LPSTR FindTextNoCase(LPSTR Text, LPCSTR Pattern) {
  for (;; Text++) {
    if (StartsWithNoCase(Text, Pattern)) {
      return Text;
    }
    if (*Text == '\0') {
      return NULL;
    }
  }
}
