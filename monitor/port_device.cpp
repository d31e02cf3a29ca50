// The driver device of a port: found among the present printers by its port
// name, opened for overlapped I/O for the length of a job, and the device
// control requests the job operations send it.
#include "nrvusbmn.h"

BOOL PortDeviceOpen(PortEntry *Entry) {
  return Entry->DeviceHandle != NULL && Entry->DeviceHandle != INVALID_HANDLE_VALUE;
}

// The interface's path and its device, in a buffer of the size the first call
// asks for; NULL when either call fails or the buffer cannot be had, so that
// the interface is passed over like one whose detail cannot be read.
static PSP_DEVICE_INTERFACE_DETAIL_DATA_A ReadInterfaceDetail(HDEVINFO Devices,
                                                              PSP_DEVICE_INTERFACE_DATA Interface,
                                                              PSP_DEVINFO_DATA Device) {
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
  DWORD size = 0;

  SetupDiGetDeviceInterfaceDetailA(Devices, Interface, NULL, 0, &size, NULL);
  if (size == 0) {
    return NULL;
  }
  detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)LocalAlloc(LPTR, size);
  if (detail == NULL) {
    return NULL;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  Device->cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiGetDeviceInterfaceDetailA(Devices, Interface, detail, size, NULL, Device)) {
    LocalFree(detail);
    return NULL;
  }
  return detail;
}

static BOOL DeviceHasPortName(HDEVINFO Devices, PSP_DEVINFO_DATA Device, LPCSTR PortName) {
  CHAR name[PORT_NAME_VALUE_SIZE + 1];
  BOOL same;
  HKEY key = SetupDiOpenDevRegKey(Devices, Device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);

  if (key == (HKEY)INVALID_HANDLE_VALUE) {
    return FALSE;
  }
  same = ReadDeviceValue(key, "PortName", name, PORT_NAME_VALUE_SIZE) && lstrcmpiA(name, PortName) == 0;
  RegCloseKey(key);
  return same;
}

// TRUE when the interface belongs to the port; *Device is then the opened
// file, or INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND.
static BOOL OpenInterfaceOfPort(HDEVINFO Devices, PSP_DEVICE_INTERFACE_DATA Interface, LPCSTR PortName,
                                HANDLE *Device) {
  SP_DEVINFO_DATA deviceInfo;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = ReadInterfaceDetail(Devices, Interface, &deviceInfo);
  BOOL matched;

  if (detail == NULL) {
    return FALSE;
  }
  matched = DeviceHasPortName(Devices, &deviceInfo, PortName);
  if (matched) {
    *Device =
        CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (*Device == INVALID_HANDLE_VALUE) {
      SetLastError(ERROR_FILE_NOT_FOUND);
    }
  }
  LocalFree(detail);
  return matched;
}

HANDLE OpenPortDevice(LPCSTR PortName) {
  HDEVINFO devices =
      SetupDiGetClassDevsA(&PrinterInterfaceClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA interfaceData;
  HANDLE device = INVALID_HANDLE_VALUE;

  if (devices == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  interfaceData.cbSize = sizeof(interfaceData);
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(devices, NULL, &PrinterInterfaceClass, index, &interfaceData); index++) {
    if (OpenInterfaceOfPort(devices, &interfaceData, PortName, &device)) {
      SetupDiDestroyDeviceInfoList(devices);
      return device;
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

VOID ClosePortDevice(PortEntry *Entry) {
  if (!PortDeviceOpen(Entry)) {
    return;
  }
  if (Entry->ReadBusy) {
    SendPipeRequest(Entry, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, USBPRN_PIPE_BULK_IN);
  }
  if (Entry->WriteBusy) {
    SendPipeRequest(Entry, IOCTL_USBPRN_CANCEL_PIPE_REQUESTS, USBPRN_PIPE_BULK_OUT);
  }
  CloseHandle(Entry->DeviceHandle);
  Entry->DeviceHandle = INVALID_HANDLE_VALUE;
}

// The device is closed without the cancel requests: the request that would
// need them could not be cancelled.
VOID DropPortDevice(PortEntry *Entry) {
  CloseHandle(Entry->DeviceHandle);
  Entry->DeviceHandle = INVALID_HANDLE_VALUE;
}

BOOL SendPipeRequest(PortEntry *Entry, DWORD ControlCode, BYTE Pipe) {
  DWORD returned = 0;

  return DeviceIoControl(Entry->DeviceHandle, ControlCode, &Pipe, sizeof(Pipe), NULL, 0, &returned, NULL);
}

BYTE ReadPortStatus(PortEntry *Entry) {
  WORD request = 1;
  BYTE status = 0;
  DWORD returned = 0;

  if (!DeviceIoControl(Entry->DeviceHandle, IOCTL_USBPRN_GET_PORT_STATUS, &request, sizeof(request), &status,
                       sizeof(status), &returned, NULL) ||
      returned == 0) {
    return PORT_STATUS_UNKNOWN;
  }
  return status;
}
