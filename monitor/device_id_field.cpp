// Fields of an IEEE 1284 device ID, "KEY:value;" one after another. The key
// is found anywhere in the text, as the driver finds it, so both sides read
// the same value out of the same ID.
#include "nrvusbmn.h"

// First occurrence of Key in Text, case-sensitive; NULL when there is none.
static LPCSTR FindKey(LPCSTR Text, LPCSTR Key) {
  for (; *Text != 0; Text++) {
    int matched = 0;
    while (Key[matched] != 0 && Text[matched] == Key[matched]) {
      matched++;
    }
    if (Key[matched] == 0) {
      return Text;
    }
  }
  return NULL;
}

static LPCSTR FindCharacter(LPCSTR Text, CHAR Character) {
  for (; *Text != 0; Text++) {
    if (*Text == Character) {
      return Text;
    }
  }
  return NULL;
}

BOOL ExtractIdField(LPCSTR DeviceId, LPCSTR Key, LPCSTR ShortKey, LPSTR Output, DWORD Maximum) {
  LPCSTR field = FindKey(DeviceId, Key);
  LPCSTR value;
  DWORD length = 0;

  if (field == NULL) {
    field = FindKey(DeviceId, ShortKey);
  }
  if (field == NULL) {
    return FALSE;
  }
  value = FindCharacter(field, ':');
  if (value == NULL) {
    return FALSE;
  }
  value++;
  // The value runs to the next ';' or to the end of the text.
  while (length < Maximum && value[length] != 0 && value[length] != ';') {
    Output[length] = value[length];
    length++;
  }
  Output[length] = 0;
  return TRUE;
}
