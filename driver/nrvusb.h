// NRVUSB: the per-device record and the routines every part of the driver shares.
//
// Lock order: a direction lock (WriteLock or ReadLock) is taken before IoCountLock,
// and no spin lock is held while calling another driver or waiting.
#pragma once

#include <ntddk.h>
#include <stdio.h>
#include <string.h>

extern "C" {
#include <usbdi.h>
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

// One printer FDO's port name in the driver-wide list of names in use.
typedef struct PortNameEntry {
  PDEVICE_OBJECT Device;
  CHAR PortName[36];
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

// Device interface.
NTSTATUS PLMUSB_SymbolicLink(PDEVICE_OBJECT PhysicalDevice, PUNICODE_STRING LinkName);

// Completes a request the driver cannot serve on this device.
NTSTATUS PLMUSB_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
