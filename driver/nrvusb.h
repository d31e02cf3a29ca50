// NRVUSB: the per-device record and the routines every part of the driver shares.
//
// Locks, in the order they are taken:
//   WriteLock, ReadLock  the running write, respectively read: the fields marked [WriteLock] or
//                        [ReadLock] and the cancel references of its TransferContext. Never both.
//   IoCountLock          the change of IoCount and the setting of IoCountOneEvent. IoCountZeroEvent
//                        is set after it is released: remove then frees the lock with the extension.
// A spin lock is held only to record or decide: never while calling another driver, completing
// a request, freeing a request or MDL, or waiting.
//
// Fields without a lock are serialised by who may write them:
//   [fixed]        written before the device takes any request (AddDevice, child creation), then read only.
//   [PnP]          written only by the FDO's Plug and Play requests, which the manager sends one at a
//                  time. Other paths read them without a lock: a request admitted just before a state
//                  flag changes holds a count in IoCount, which remove and query-remove wait for and
//                  whose transfers stop and surprise removal cancel.
//   [PnP, config]  as [PnP], and also rewritten by IOCTL_USBPRN_SET_CURRENT_INTERFACE, which clients
//                  send only while no transfer runs; the interface record is rewritten in place, so a
//                  handle's pointer to one of its pipes never dangles.
//   [power]        written only while serving a power request, which the power manager sends one at a
//                  time; PendingSystemPowerIrp and SelfPowerRequestActive keep self requests out of
//                  system-driven ones.
//   [interlocked]  changed only by interlocked operations. A pipe's PipeFlags (bound to a handle or
//                  not) is claimed and released the same way.
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
  PDEVICE_OBJECT LowerDevice;                             // [fixed]
  PDEVICE_OBJECT PhysicalDevice;                          // [fixed]
  PDRIVER_OBJECT DriverObject;                            // [fixed]
  DEVICE_POWER_STATE CurrentDevicePowerState;             // [power]
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;          // [PnP, config]
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // [PnP]
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // [PnP]
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // [PnP, config]
  DEVICE_CAPABILITIES DeviceCapabilities;                 // [fixed]
  PIRP PendingSystemPowerIrp;                             // [power]
  PIRP WriteIrp;                                          // [WriteLock]
  PIRP ReadIrp;                                           // [ReadLock]
  KSPIN_LOCK WriteLock;
  KSPIN_LOCK ReadLock;
  ULONG WriteBytesDone;     // [WriteLock]
  ULONG ReadBytesDone;      // [ReadLock]
  KEVENT IoCountZeroEvent;  // set after IoCountLock, when IoCount reaches 0; never cleared
  KEVENT WriteDoneEvent;    // [WriteLock] cleared when a write starts, set when it is finished
  KEVENT ReadDoneEvent;     // [ReadLock] the same for reads
  KEVENT IoCountOneEvent;   // [IoCountLock] set when IoCount drops to 1; never cleared
  KEVENT SelfPowerEvent;    // [power]
  KSPIN_LOCK IoCountLock;
  LONG OpenCount;                     // [interlocked]
  LONG IoCount;                       // [interlocked], under IoCountLock
  TransferContext *WriteContext;      // [WriteLock]
  TransferContext *ReadContext;       // [ReadLock]
  WCHAR InterfaceLinkName[256];       // [fixed]
  BOOLEAN DeviceRemoved;              // [PnP]
  BOOLEAN RemovePending;              // [PnP]
  BOOLEAN StopPending;                // [PnP]
  BOOLEAN DeviceStarted;              // [PnP]
  BOOLEAN WaitWakeActive;             // [power]
  BOOLEAN SelfPowerRequestActive;     // [power]
  DEVICE_POWER_STATE PowerDownLevel;  // [power], first set by AddDevice
  ULONG MaxTransferSize;              // [fixed]
  BOOLEAN IsChildDevice;              // [fixed]
  PDEVICE_OBJECT ChildDevice;         // [PnP]: made by the first bus relations, deleted by remove
  PDEVICE_OBJECT ParentDevice;        // [fixed]
  UCHAR AltInterface;                 // [fixed]
  UCHAR DeviceType;                   // [fixed]
  UCHAR PrinterClassOptions;          // [fixed]
  // Every numbered port name of the printer's prefix was carried by another
  // printer when it was added: it takes no I/O and reports no child until a
  // name comes free and is given to it.
  BOOLEAN WaitingForPortName;  // [PnP]: set by AddDevice, cleared by another printer's remove
} DeviceExtension, *PDeviceExtension;

FORCEINLINE PDeviceExtension PLMUSB_Extension(PDEVICE_OBJECT DeviceObject) {
  return (PDeviceExtension)DeviceObject->DeviceExtension;
}

// Port names: a prefix, a three-digit number and a colon, NUL-terminated in
// 36 bytes; prefixes are limited so that every made name fits.
#define PORT_NAME_BUFFER_SIZE 36
#define PORT_NAME_MAX_LENGTH (PORT_NAME_BUFFER_SIZE - 1)
#define PORT_PREFIX_MAX_LENGTH (PORT_NAME_MAX_LENGTH - 4)

// One printer FDO's port name in the driver-wide list of names in use, in
// order of addition. [PnP]: the list changes only in AddDevice and remove.
typedef struct PortNameEntry {
  PDEVICE_OBJECT Device;
  CHAR PortName[PORT_NAME_BUFFER_SIZE];  // empty while the printer waits for one
  struct PortNameEntry *Next;
  // A printer that could not be named waits for a free name of its prefix;
  // the one that has waited longest, the earliest in the list, is named first.
  BOOLEAN Waiting;
  CHAR Prefix[PORT_NAME_BUFFER_SIZE];
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

// The one place that tells the child printer device from the printer FDO. Every
// dispatch routine asks it first: TRUE when the device is the child, which has then
// been given the request and its status. The child keeps no request count.
BOOLEAN PLMUSB_DispatchForChild(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS *Status);

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
BOOLEAN PLMUSB_SetKeyValue(HANDLE Key, PCWSTR ValueName, PCSTR Text);
BOOLEAN PLMUSB_SetKeyValueBinary(HANDLE Key, PCWSTR ValueName, PUCHAR Byte);
BOOLEAN PLMUSB_UpdateDescription(HANDLE Key, PCWSTR ValueName, PCSTR PortName);
// Reads a name of at most MaximumLength characters (at most PORT_NAME_MAX_LENGTH);
// longer or empty names count as missing.
BOOLEAN PLMUSB_GetNameValue(HANDLE Key, PCWSTR ValueName, PCHAR Name, ULONG MaximumLength);
// One value of a device's hardware key, opened and closed around the read or
// write. The device is a physical device object, or the child printer device.
BOOLEAN PLMUSB_GetDeviceKeyValue(PDEVICE_OBJECT Device, PCWSTR ValueName, PCHAR Destination, ULONG MaximumLength);
BOOLEAN PLMUSB_SetDeviceKeyValue(PDEVICE_OBJECT Device, PCWSTR ValueName, PCSTR Text);
BOOLEAN PLMUSB_SetDeviceKeyValueBinary(PDEVICE_OBJECT Device, PCWSTR ValueName, UCHAR Byte);

// Port names in use and the serial-number marker.
BOOLEAN PLMUSB_CheckUniqueName(PCSTR Name);
BOOLEAN PLMUSB_MakeUniqueName(PCSTR Prefix, PCHAR Name);
BOOLEAN PLMUSB_AddToDeviceList(PDEVICE_OBJECT DeviceObject, PCSTR Name);
BOOLEAN PLMUSB_RemoveFromDeviceList(PDEVICE_OBJECT DeviceObject);
BOOLEAN PLMUSB_SetSerialRegValue(PDEVICE_OBJECT DeviceObject, UCHAR SerialNumberIndex);
// Chooses the printer's port name and enters it in the list in one step, then
// writes it to the device key and the description. PortName receives the name;
// it is empty when the device key cannot be opened, and when every numbered
// name of the prefix is taken: the printer then waits for one.
VOID PLMUSB_AssignPortName(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDevice, PCSTR Prefix,
                           PCHAR PortName);

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

// Completes a request the driver cannot serve on this device.
NTSTATUS PLMUSB_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Sends the request down and takes it back once the drivers below have
// completed it; the caller completes it again. Returns its status.
NTSTATUS PLMUSB_ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
// Every wait of the driver: kernel mode, not alertable, wait reason Suspended;
// no time limit when Timeout is NULL.
NTSTATUS PLMUSB_WaitForEvent(PKEVENT Event, PLARGE_INTEGER Timeout);

// The printer's IEEE 1284 device ID, its KEY:value fields and the check value
// of the child device's identifiers.
#define DEVICE_ID_MANUFACTURER 0
#define DEVICE_ID_MODEL 1
#define DEVICE_ID_DESCRIPTION 2
#define DEVICE_ID_COMPATIBLE_ID 3
// The most the printer is asked for: two length bytes and at most 1022 characters of text.
#define DEVICE_ID_REQUEST_LENGTH 1024
#define DEVICE_ID_MAX_TEXT (DEVICE_ID_REQUEST_LENGTH - 2)

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
// Passes a power request on below: the next one may come, and this one goes down unchanged.
NTSTATUS PLMUSB_PassPowerIrp(PDEVICE_OBJECT LowerDevice, PIRP Irp);
BOOLEAN PLMUSB_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
IO_COMPLETION_ROUTINE PLMUSB_PowerIrp_Complete;
REQUEST_POWER_COMPLETE PLMUSB_PoRequestCompletion;
NTSTATUS PLMUSB_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend);
NTSTATUS PLMUSB_SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
REQUEST_POWER_COMPLETE PLMUSB_PoSelfRequestCompletion;
NTSTATUS PLMUSB_QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities);
