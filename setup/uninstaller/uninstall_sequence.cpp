// The uninstall sequence. After the person's yes every step runs, whatever
// the one before achieved: a step with nothing to remove simply does nothing.
#include "nrvusbun.h"

// Yes/No with a question icon, above other windows, no owner; only Yes counts.
static BOOL PersonSaysYes(UINT TextOffset, UINT CaptionOffset) {
  CHAR text[QUESTION_TEXT_SIZE];
  CHAR caption[QUESTION_CAPTION_SIZE];

  LoadLanguageText(TextOffset, text, QUESTION_TEXT_SIZE);
  LoadLanguageText(CaptionOffset, caption, QUESTION_CAPTION_SIZE);
  return MessageBoxA(NULL, text, caption, MB_YESNO | MB_ICONQUESTION | MB_TOPMOST) == IDYES;
}

// A text of the table that could not be loaded names nothing: an empty key
// path would be HKEY_LOCAL_MACHINE itself, an empty file name the folder.
static BOOL LoadName(UINT Identifier, LPSTR Name, int NameSize) {
  LoadFixedText(Identifier, Name, NameSize);
  return Name[0] != '\0';
}

static VOID DeleteKeyOfString(UINT Identifier) {
  CHAR path[SETUP_TEXT_SIZE];

  if (LoadName(Identifier, path, SETUP_TEXT_SIZE)) {
    DeleteRegistryKeyTree(path);
  }
}

static VOID ScheduleSystemFile(UINT Identifier) {
  CHAR file[SETUP_TEXT_SIZE];

  if (LoadName(Identifier, file, SETUP_TEXT_SIZE)) {
    ScheduleDeleteInSystemDir(file);
  }
}

// The driver is looked for where each system keeps drivers.
static VOID ScheduleDriverFile(VOID) {
  CHAR file[SETUP_TEXT_SIZE];

  if (LoadName(IDS_DRIVER_FILE, file, SETUP_TEXT_SIZE)) {
    ScheduleDeleteInDriversDir(file);
    ScheduleDeleteInSystemDir(file);
  }
}

static VOID RemovePortMonitor(VOID) {
  CHAR name[MONITOR_NAME_SIZE];

  if (LoadName(IDS_MONITOR_NAME, name, MONITOR_NAME_SIZE)) {
    DeleteMonitorA(NULL, NULL, name);
  }
}

VOID UninstallPackage(VOID) {
  BYTE osKind = OsKindOfThisSystem();

  if (!PersonSaysYes(MSG_CONFIRM_TEXT, MSG_CONFIRM_CAPTION)) {
    return;
  }
  RemoveDevices(osKind);
  RemovePortMonitor();
  if (osKind == OS_KIND_WINDOWS_2000) {
    DeleteKeyOfString(IDS_INTERFACE_CLASS_KEY_2000);
    DeleteKeyOfString(IDS_DRIVER_SERVICE_KEY_2000);
  } else {
    DeleteKeyOfString(IDS_PACKAGE_CLASS_KEY_98);
    DeleteKeyOfString(IDS_INTERFACE_CLASS_KEY_98);
  }
  ScheduleDriverFile();
  DeleteKeyOfString(IDS_MONITOR_KEY);
  ScheduleSystemFile(IDS_MONITOR_FILE);
  ScheduleSystemFile(IDS_INSTALLER_FILE);
  ScheduleSystemFile(IDS_EXTRA_FILE);
  // The program itself runs now, so it can only go at the next start.
  ScheduleSystemFile(IDS_UNINSTALLER_FILE);
  DeleteKeyOfString(IDS_UNINSTALL_ENTRY_KEY);
  if (PersonSaysYes(MSG_RESTART_TEXT, MSG_RESTART_CAPTION)) {
    RestartComputer();
  }
}
