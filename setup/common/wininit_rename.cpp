// WinInit.ini: the file the Windows 98 family reads at its start, carrying out
// the lines of its [Rename] section ("NUL=path" deletes the file). A new line
// goes first into that section, which is made at the end of the file when it
// is missing. The file is edited through a mapping one line larger than
// itself and then cut back to what it holds.
#include "setup_path.h"

#define WININIT_FILE_NAME "\\WinInit.Ini"
#define RENAME_HEADER "[Rename]\r\n"
#define RENAME_HEADER_LENGTH 10
#define RENAME_LINE_SIZE 1024

// Puts the line into the mapped file (Size bytes of text, zeros after them);
// the file's new length goes to NewSize.
static VOID InsertLine(LPSTR View, DWORD Size, LPCSTR Line, DWORD LineLength, LPDWORD NewSize) {
  LPSTR header = FindTextNoCase(View, RENAME_HEADER);
  LPSTR insertAt;

  if (header != NULL) {
    // The header ends with its line feed: the section's first line follows it.
    insertAt = header + RENAME_HEADER_LENGTH;
    MoveMemory(insertAt + LineLength, insertAt, Size - (DWORD)(insertAt - View));
    *NewSize = Size;
  } else {
    CopyMemory(View + Size, RENAME_HEADER, RENAME_HEADER_LENGTH);
    insertAt = View + Size + RENAME_HEADER_LENGTH;
    *NewSize = Size + RENAME_HEADER_LENGTH;
  }
  CopyMemory(insertAt, Line, LineLength);
  *NewSize += LineLength;
}

// FALSE when the mapping or its view cannot be made; the file then keeps Size bytes.
static BOOLEAN EditMappedFile(HANDLE File, DWORD Size, LPCSTR Line, DWORD LineLength, LPDWORD NewSize) {
  HANDLE mapping;
  LPSTR view;

  *NewSize = Size;
  mapping = CreateFileMappingA(File, NULL, PAGE_READWRITE, 0, Size + LineLength + RENAME_HEADER_LENGTH, NULL);
  if (mapping == NULL) {
    return FALSE;
  }
  view = (LPSTR)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  if (view == NULL) {
    CloseHandle(mapping);
    return FALSE;
  }
  InsertLine(view, Size, Line, LineLength, NewSize);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  return TRUE;
}

BOOLEAN AddWinInitRename(LPCSTR Target, LPCSTR Source) {
  CHAR path[SETUP_PATH_SIZE];
  CHAR line[RENAME_LINE_SIZE];
  HANDLE file;
  DWORD lineLength;
  DWORD size;
  DWORD newSize;
  BOOLEAN result;

  // A line cut short by the formatter would lose its line break and its meaning.
  if (lstrlenA(Target) + lstrlenA(Source) + 3 >= RENAME_LINE_SIZE ||
      !WindowsDirectoryPath(path, WININIT_FILE_NAME)) {
    return FALSE;
  }
  file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  lineLength = (DWORD)wsprintfA(line, "%s=%s\r\n", Target, Source);
  size = GetFileSize(file, NULL);
  // The mapping's size must not wrap round.
  if (size > MAXDWORD - lineLength - RENAME_HEADER_LENGTH) {
    CloseHandle(file);
    return FALSE;
  }
  result = EditMappedFile(file, size, line, lineLength, &newSize);
  SetFilePointer(file, (LONG)newSize, NULL, FILE_BEGIN);
  SetEndOfFile(file);
  CloseHandle(file);
  return result;
}
