// NRVUSB: the per-device record and the routines every part of the driver shares.
//
// Lock order: a direction lock (WriteLock or ReadLock) is taken before IoCountLock,
// and no spin lock is held while calling another driver or waiting.
#pragma once

// The C runtime headers come first: included after the kit's headers, the
// cross compiler's stdio.h would route sprintf to its own library instead of
// the kernel's.
#include <stdio.h>
#include <string.h>

#include <ntddk.h>

extern "C" {
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

// Every allocation carries the tag "Wdm " (bytes 57 64 6D 20).
#define NRVUSB_POOL_TAG 0x206D6457

struct TransferContext;

typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT PhysicalDevice;
  PDRIVER_OBJECT DriverObject;
  DEVICE_POWER_STATE CurrentDevicePowerState;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;
  DEVICE_CAPABILITIES DeviceCapabilities;
  PIRP PendingSystemPowerIrp;
  PIRP WriteIrp;
  PIRP ReadIrp;
  KSPIN_LOCK WriteLock;
  KSPIN_LOCK ReadLock;
  ULONG WriteBytesDone;
  ULONG ReadBytesDone;
  KEVENT IoCountZeroEvent;
  KEVENT WriteDoneEvent;
  KEVENT ReadDoneEvent;
  KEVENT IoCountOneEvent;
  KEVENT SelfPowerEvent;
  KSPIN_LOCK IoCountLock;
  LONG OpenCount;
  LONG IoCount;
  TransferContext *WriteContext;
  TransferContext *ReadContext;
  WCHAR InterfaceLinkName[256];
  BOOLEAN DeviceRemoved;
  BOOLEAN RemovePending;
  BOOLEAN StopPending;
  BOOLEAN DeviceStarted;
  BOOLEAN WaitWakeActive;
  BOOLEAN SelfPowerRequestActive;
  DEVICE_POWER_STATE PowerDownLevel;
  ULONG MaxTransferSize;
  BOOLEAN IsChildDevice;
  PDEVICE_OBJECT ChildDevice;
  PDEVICE_OBJECT ParentDevice;
  UCHAR AltInterface;
  UCHAR DeviceType;
  UCHAR PrinterClassOptions;
} DeviceExtension, *PDeviceExtension;

FORCEINLINE PDeviceExtension PLMUSB_Extension(PDEVICE_OBJECT DeviceObject) {
  return (PDeviceExtension)DeviceObject->DeviceExtension;
}

// Port names: a prefix, a three-digit number and a colon, NUL-terminated in
// 36 bytes; prefixes are limited so that every made name fits.
#define PORT_NAME_BUFFER_SIZE 36
#define PORT_NAME_MAX_LENGTH (PORT_NAME_BUFFER_SIZE - 1)
#define PORT_PREFIX_MAX_LENGTH (PORT_NAME_MAX_LENGTH - 4)

// One printer FDO's port name in the driver-wide list of names in use.
typedef struct PortNameEntry {
  PDEVICE_OBJECT Device;
  CHAR PortName[PORT_NAME_BUFFER_SIZE];
  struct PortNameEntry *Next;
} PortNameEntry;

extern PortNameEntry *PortNameList;

// Entry and dispatch.
DRIVER_UNLOAD PLMUSB_Unload;
DRIVER_ADD_DEVICE PLMUSB_PnPAddDevice;
DRIVER_DISPATCH PLMUSB_Create;
DRIVER_DISPATCH PLMUSB_Close;
DRIVER_DISPATCH PLMUSB_Read;
DRIVER_DISPATCH PLMUSB_Write;
DRIVER_DISPATCH PLMUSB_ProcessIOCTL;
DRIVER_DISPATCH PLMUSB_ProcessPowerIrp;
DRIVER_DISPATCH PLMUSB_ProcessSysControlIrp;
DRIVER_DISPATCH PLMUSB_ProcessPnPIrp;
IO_COMPLETION_ROUTINE PLMUSB_IrpCompletionRoutine;

// Request counting and acceptance.
VOID PLMUSB_IncrementIoCount(PDEVICE_OBJECT DeviceObject);
LONG PLMUSB_DecrementIoCount(PDEVICE_OBJECT DeviceObject);
BOOLEAN PLMUSB_CanAcceptIoRequests(PDEVICE_OBJECT DeviceObject);
BOOLEAN PLMUSB_AdmitIoRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Device interface and device object.
NTSTATUS PLMUSB_SymbolicLink(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING LinkName);
NTSTATUS PLMUSB_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice,
                                   PDEVICE_OBJECT *DeviceObject, PCHAR PortName);

// Registry values of the device's keys.
BOOLEAN PLMUSB_GetKeyValue(HANDLE Key, PCWSTR ValueName, PCHAR Destination, ULONG MaximumLength);
BOOLEAN PLMUSB_GetKeyValueUCHAR(HANDLE Key, PCWSTR ValueName, PUCHAR Value);
BOOLEAN PLMUSB_GetKeyValueDWORD(HANDLE Key, PCWSTR ValueName, PULONG Value);
// Reads a text value of the printer's device key, as PLMUSB_GetKeyValue does.
BOOLEAN PLMUSB_GetDeviceKeyValue(PDEVICE_OBJECT DeviceObject, PCWSTR ValueName, PCHAR Destination,
                                 ULONG MaximumLength);
BOOLEAN PLMUSB_SetKeyValue(HANDLE Key, PCWSTR ValueName, PCSTR Text);
BOOLEAN PLMUSB_SetKeyValueBinary(HANDLE Key, PCWSTR ValueName, PUCHAR Byte);
BOOLEAN PLMUSB_UpdateDescription(HANDLE Key, PCWSTR ValueName, PCSTR PortName);

// Port names in use and the serial-number marker.
BOOLEAN PLMUSB_CheckUniqueName(PCSTR Name);
BOOLEAN PLMUSB_MakeUniqueName(PCSTR Prefix, PCHAR Name);
BOOLEAN PLMUSB_AddToDeviceList(PDEVICE_OBJECT DeviceObject, PCSTR Name);
BOOLEAN PLMUSB_RemoveFromDeviceList(PDEVICE_OBJECT DeviceObject);
BOOLEAN PLMUSB_SetSerialRegValue(PDEVICE_OBJECT DeviceObject, UCHAR SerialNumberIndex);

// Requests to the USB stack and the printer's configuration.
NTSTATUS PLMUSB_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS PLMUSB_CallUSBDTimed(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG Milliseconds);
NTSTATUS PLMUSB_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS PLMUSB_SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                CHAR InterfaceNumber, CHAR AlternateSetting);

// Pipes: look-ups, reset and abort, and recovery of the printer's port.
PUSBD_PIPE_INFORMATION PLMUSB_GetBulkOutPipe(PDEVICE_OBJECT DeviceObject);
PUSBD_PIPE_INFORMATION PLMUSB_GetBulkInPipe(PDEVICE_OBJECT DeviceObject);
NTSTATUS PLMUSB_SendPipeRequest(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe, USHORT Function);
NTSTATUS PLMUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS PLMUSB_AbortPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS PLMUSB_GetPortStatus(PDEVICE_OBJECT DeviceObject, PULONG PortStatus);
NTSTATUS PLMUSB_ResetParentPort(PDEVICE_OBJECT DeviceObject);
VOID PLMUSB_ResetDevice(PDEVICE_OBJECT DeviceObject);
BOOLEAN PLMUSB_CancelPendingIo(PDEVICE_OBJECT DeviceObject);

// Bulk reads and writes: a chain of transfers, each started from the completion of the one before.
PURB PLMUSB_BuildAsyncRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUSBD_PIPE_INFORMATION Pipe, UCHAR Direction);
IO_COMPLETION_ROUTINE PLMUSB_AsyncWrite_Complete;
IO_COMPLETION_ROUTINE PLMUSB_AsyncRead_Complete;

// Class and vendor requests to the printer.
PURB PLMUSB_BuildVendorOrClassRequest(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                      PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                      UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index);
NTSTATUS PLMUSB_ModifyRegister(PDEVICE_OBJECT DeviceObject, USHORT Value, USHORT Index);

// Completes a request the driver cannot serve on this device.
NTSTATUS PLMUSB_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Sends the request down and takes it back once the drivers below have
// completed it; the caller completes it again. Returns its status.
NTSTATUS PLMUSB_ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);

// The printer's IEEE 1284 device ID, its KEY:value fields and the check value
// of the child device's identifiers.
#define DEVICE_ID_MANUFACTURER 0
#define DEVICE_ID_MODEL 1
#define DEVICE_ID_DESCRIPTION 2
#define DEVICE_ID_COMPATIBLE_ID 3

NTSTATUS PLMUSB_SetDeviceID(PDEVICE_OBJECT DeviceObject);

// Output holds Maximum + 1 bytes; it is untouched when the field is not found.
BOOLEAN GetDeviceID(UCHAR Type, PCSTR DeviceId, PCHAR Output, ULONG Maximum);
PCSTR FindString(PCSTR Text, PCSTR Key);
PCSTR FindChar(PCSTR Text, CHAR Character);
VOID Get_CRC_CheckSum(PUCHAR Data, ULONG Length, PULONG CheckSum);

// Plug and Play of the printer FDO.
NTSTATUS PLMUSB_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS PLMUSB_StopDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS PLMUSB_RemoveDevice(PDEVICE_OBJECT DeviceObject);

// The child printer device.
NTSTATUS PLMUSB_QueryDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PLMUSB_ChildPDODispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PLMUSB_ChildPDOQueryID(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PLMUSB_ChildPDOQueryDeviceText(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Power.
BOOLEAN PLMUSB_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
IO_COMPLETION_ROUTINE PLMUSB_PowerIrp_Complete;
REQUEST_POWER_COMPLETE PLMUSB_PoRequestCompletion;
NTSTATUS PLMUSB_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend);
NTSTATUS PLMUSB_SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
REQUEST_POWER_COMPLETE PLMUSB_PoSelfRequestCompletion;
NTSTATUS PLMUSB_QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);
