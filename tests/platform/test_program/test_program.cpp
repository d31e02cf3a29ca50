// A program for the tests of programs run as processes. Its exit code tells
// what it saw: the answer to its question times 1000, plus the error of
// deleting its own file while it runs. With TEST_PROGRAM_LEAKS it ends with
// an event handle open.
#include <windows.h>

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd) {
  char text[64];
  if (hPrevInstance != NULL || lpCmdLine == NULL || lpCmdLine[0] != '\0' || nShowCmd != SW_SHOWNORMAL)
    return -1;
  if (LoadStringA(hInstance, 1, text, sizeof text) == 0) return -2;
#ifdef TEST_PROGRAM_LEAKS
  CreateEventA(NULL, TRUE, FALSE, NULL);
  return 0;
#else
  int answer = MessageBoxA(NULL, text, NULL, MB_YESNO | MB_ICONQUESTION);
  Sleep(5000);
  if (DeleteFileA("C:\\TESTPROG.EXE")) return -3;
  return answer * 1000 + (int)GetLastError();
#endif
}
