// Driver entry: fills the dispatch table once when the driver is loaded.
#include "nrvusb.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = PLMUSB_Create;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PLMUSB_Close;
  DriverObject->MajorFunction[IRP_MJ_READ] = PLMUSB_Read;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PLMUSB_Write;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PLMUSB_ProcessIOCTL;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PLMUSB_ProcessPowerIrp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PLMUSB_ProcessSysControlIrp;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PLMUSB_ProcessPnPIrp;
  DriverObject->DriverUnload = PLMUSB_Unload;
  DriverObject->DriverExtension->AddDevice = PLMUSB_PnPAddDevice;

  PortNameList = NULL;
  return STATUS_SUCCESS;
}

// Every device is torn down at remove, so nothing is left to do here.
VOID PLMUSB_Unload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }
