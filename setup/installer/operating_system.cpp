// The systems the package was made for: Windows 98 passes silently; every
// other one is named in a warning the person may decline. Windows 2000 is
// warned about too, as the other Windows 4 systems are.
#include "nrvusbin.h"

#define WINDOWS_98_MAJOR 4
#define WINDOWS_98_MINOR 10
#define WINDOWS_2000_MAJOR 5

// MB_OKCANCEL | MB_ICONEXCLAMATION, no owner and the system's own caption.
static DWORD Warn(UINT MessageOffset) {
  CHAR text[INSTALLER_TEXT_SIZE];

  LoadLanguageText(MessageOffset, text, INSTALLER_TEXT_SIZE);
  if (MessageBoxA(NULL, text, NULL, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDCANCEL) {
    return ERROR_NOT_SUPPORTED;
  }
  return ERROR_SUCCESS;
}

DWORD CheckOperatingSystem(BYTE *OsKind) {
  DWORD version = GetVersion();
  BYTE major = LOBYTE(LOWORD(version));
  BYTE minor = HIBYTE(LOWORD(version));
  DWORD result = ERROR_SUCCESS;

  *OsKind = OS_KIND_WINDOWS_98;
  if (major == WINDOWS_98_MAJOR) {
    if (minor != WINDOWS_98_MINOR) {
      result = Warn(MSG_WINDOWS_VERSION);
    }
  } else if (major == WINDOWS_2000_MAJOR) {
    *OsKind = OS_KIND_WINDOWS_2000;
  } else {
    result = Warn(MSG_OPERATING_SYSTEM);
  }
  if (*OsKind == OS_KIND_WINDOWS_2000) {
    result = Warn(MSG_WINDOWS_VERSION);
  }
  return result;
}
