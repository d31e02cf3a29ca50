// user32: MessageBoxA. The machine shows no windows; each box takes the next
// answer of the machine's script and is recorded with it.
#include <windows.h>

#include "user/message_boxes.h"
#include "user/process.h"

extern "C" {

WINUSERAPI int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  nrv::Process& process = nrv::currentProcess("MessageBoxA");
  return process.services().messageBoxes.show(process.name(), hWnd, lpText, lpCaption, uType);
}

}  // extern "C"
