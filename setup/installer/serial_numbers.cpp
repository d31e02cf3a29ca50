// Printers without a serial number are told apart by the USB stack's own
// generated numbers only while generation is on; with two or more of them
// attached, generation is switched off, their devices are removed so that
// they are found afresh, and the computer is restarted.
#include "nrvusbin.h"

static const CHAR UsbServiceKey[] = "System\\CurrentControlSet\\Services\\USB";
static const CHAR SerialNumberGeneration[] = "EnableSerialNumberGeneration";
static const CHAR SerialNumberFound[] = "SerialNumberFound";

// Bit 0 of a device's SerialNumberFound: the printer reported a serial number.
#define SERIAL_NUMBER_REPORTED 0x01

// Whether the attached device has a SerialNumberFound value that says it has none.
static BOOL LacksSerialNumber(HDEVINFO Devices, PSP_DEVINFO_DATA Device) {
  HKEY deviceKey;
  BYTE found;
  DWORD size = sizeof(found);
  BOOL lacks;

  deviceKey = SetupDiOpenDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
  if (deviceKey == INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  lacks = RegQueryValueExA(deviceKey, SerialNumberFound, NULL, NULL, &found, &size) == ERROR_SUCCESS &&
          (found & SERIAL_NUMBER_REPORTED) == 0;
  RegCloseKey(deviceKey);
  return lacks;
}

int NumberOfDevices(VOID) {
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  DWORD index;
  int count = 0;

  devices = OpenPrinterDevices(DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) {
    Trace("    Error 0x%x trying to open enumeration handle for device\n", GetLastError());
  } else {
    device.cbSize = sizeof(device);
    for (index = 0; SetupDiEnumDeviceInfo(devices, index, &device); index++) {
      if (LacksSerialNumber(devices, &device)) {
        count++;
      }
    }
    SetupDiDestroyDeviceInfoList(devices);
  }
  Trace(" Leaving NumberOfDevices, found %d devices without serial numbers\n", count);
  return count;
}

// Whether the USB stack generates serial numbers, read as one binary byte.
static BOOL GenerationIsOn(HKEY UsbKey) {
  BYTE enabled;
  DWORD size = sizeof(enabled);
  DWORD type;

  return RegQueryValueExA(UsbKey, SerialNumberGeneration, NULL, &type, &enabled, &size) == ERROR_SUCCESS &&
         type == REG_BINARY && enabled != 0;
}

static BOOL SwitchOffGeneration(HKEY UsbKey) {
  BYTE enabled = 0;

  return RegSetValueExA(UsbKey, SerialNumberGeneration, 0, REG_BINARY, &enabled, sizeof(enabled)) ==
         ERROR_SUCCESS;
}

// MB_ICONEXCLAMATION with an OK button only: the restart is not the person's choice.
static VOID AnnounceRestart(VOID) {
  CHAR text[INSTALLER_TEXT_SIZE];
  CHAR caption[INSTALLER_TEXT_SIZE];

  LoadLanguageText(MSG_RESTART_NEEDED, text, INSTALLER_TEXT_SIZE);
  LoadLanguageText(MSG_RESTART_CAPTION, caption, INSTALLER_TEXT_SIZE);
  MessageBoxA(NULL, text, caption, MB_ICONEXCLAMATION);
}

DWORD SwitchOffSerialNumbers(BYTE OsKind) {
  HKEY usbKey;

  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, UsbServiceKey, &usbKey) != ERROR_SUCCESS) {
    return ERROR_SUCCESS;
  }
  if (!GenerationIsOn(usbKey) || NumberOfDevices() <= 1 || !SwitchOffGeneration(usbKey)) {
    RegCloseKey(usbKey);
    return ERROR_SUCCESS;
  }
  AnnounceRestart();
  RemoveDevices(OsKind);
  RegCloseKey(usbKey);
  // The request returns at once; the monitor is registered before the restart comes.
  RestartComputer();
  return ERROR_NOT_SUPPORTED;
}
