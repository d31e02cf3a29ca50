// Port discovery: every device that ever registered the driver's interface has
// a port; those attached now are connected and described by their printer.
#include "nrvusbmn.h"

// Opens the hardware key of the device at Index and reads its port name. FALSE
// when the device is to be skipped; past the last device *End is set.
static BOOL OpenDevicePort(HDEVINFO Devices, DWORD Index, HKEY *Key, LPSTR PortName, BOOL *End) {
  SP_DEVINFO_DATA device;

  device.cbSize = sizeof(device);
  if (!SetupDiEnumDeviceInfo(Devices, Index, &device)) {
    *End = TRUE;
    return FALSE;
  }
  *Key = SetupDiOpenDevRegKey(Devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
  if (*Key == (HKEY)INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  if (!ReadDeviceValue(*Key, "PortName", PortName, PORT_NAME_VALUE_SIZE)) {
    RegCloseKey(*Key);
    return FALSE;
  }
  return TRUE;
}

// Until a printer shows otherwise, every port is not connected.
static VOID ResetPorts(VOID) {
  CHAR notConnected[TEXT_BUFFER_SIZE];

  LoadLanguageText(TEXT_PORT_NOT_CONNECTED, notConnected, sizeof(notConnected));
  for (PortEntry *entry = PortList; entry != NULL; entry = entry->Next) {
    SetPortDescription(entry, notConnected);
    ClearPortFlags(entry, PORT_FLAG_CONNECTED);
  }
}

// A device the driver has served: its port is known, attached or not.
static VOID RecordKnownPort(LPCSTR PortName) {
  CHAR notConnected[TEXT_BUFFER_SIZE];
  PortEntry *entry;

  LoadLanguageText(TEXT_PORT_NOT_CONNECTED, notConnected, sizeof(notConnected));
  entry = FindPortEntry(PortName);
  if (entry == NULL) {
    AddPortEntry(PortName, notConnected);
  } else {
    SetPortDescription(entry, notConnected);
    ClearPortFlags(entry, PORT_FLAG_CONNECTED);
  }
}

// What an attached printer is called: the device ID's description, else its
// model; an empty DESCRIPTION still counts as found. Empty when the device ID
// gave an empty field.
static VOID DescribePrinter(LPCSTR DeviceId, BOOL HaveDeviceId, LPSTR Description) {
  if (!HaveDeviceId || (!ExtractIdField(DeviceId, "DESCRIPTION", "DES", Description, ID_FIELD_MAX_LENGTH) &&
                        !ExtractIdField(DeviceId, "MODEL", "MDL", Description, ID_FIELD_MAX_LENGTH))) {
    LoadLanguageText(TEXT_UNKNOWN_PRINTER, Description, ID_FIELD_MAX_LENGTH + 1);
  }
}

static VOID RecordAttachedPort(LPCSTR PortName, LPCSTR Description) {
  CHAR unknown[TEXT_BUFFER_SIZE];
  PortEntry *entry = FindPortEntry(PortName);

  if (entry == NULL) {
    if (Description[0] == 0) {
      LoadLanguageText(TEXT_UNKNOWN_PRINTER, unknown, sizeof(unknown));
      Description = unknown;
    }
    entry = AddPortEntry(PortName, Description);
    if (entry != NULL) {
      SetPortFlags(entry, PORT_FLAG_CONNECTED);
    }
    return;
  }
  // A printer that names itself with an empty field keeps the last name it gave.
  if (Description[0] != 0) {
    SetPortDescription(entry, Description);
    SetLastPrinterDescription(entry, Description);
  } else if (entry->LastPrinterDescription != NULL) {
    SetPortDescription(entry, entry->LastPrinterDescription);
  } else {
    LoadLanguageText(TEXT_UNKNOWN_PRINTER, unknown, sizeof(unknown));
    SetPortDescription(entry, unknown);
    SetLastPrinterDescription(entry, unknown);
  }
  SetPortFlags(entry, PORT_FLAG_CONNECTED);
}

static VOID ScanKnownDevices(VOID) {
  HDEVINFO devices = SetupDiGetClassDevsA(&PrinterInterfaceClass, NULL, NULL, DIGCF_DEVICEINTERFACE);
  CHAR portName[PORT_NAME_VALUE_SIZE + 1];
  BOOL end = FALSE;
  HKEY key;

  if (devices == INVALID_HANDLE_VALUE) {
    return;
  }
  for (DWORD index = 0; !end; index++) {
    if (OpenDevicePort(devices, index, &key, portName, &end)) {
      RecordKnownPort(portName);
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
}

static VOID ScanAttachedDevices(VOID) {
  HDEVINFO devices =
      SetupDiGetClassDevsA(&PrinterInterfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  CHAR portName[PORT_NAME_VALUE_SIZE + 1];
  CHAR deviceId[DEVICE_ID_VALUE_SIZE + 1];
  CHAR description[ID_FIELD_MAX_LENGTH + 1];
  BOOL end = FALSE;
  BOOL haveDeviceId;
  HKEY key;

  if (devices == INVALID_HANDLE_VALUE) {
    return;
  }
  for (DWORD index = 0; !end; index++) {
    if (OpenDevicePort(devices, index, &key, portName, &end)) {
      haveDeviceId = ReadDeviceValue(key, "DeviceID", deviceId, DEVICE_ID_VALUE_SIZE);
      DescribePrinter(deviceId, haveDeviceId, description);
      RecordAttachedPort(portName, description);
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
}

VOID ScanPorts(VOID) {
  ResetPorts();
  ScanKnownDevices();
  ScanAttachedDevices();
}
