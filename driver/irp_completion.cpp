// Completing, forwarding and waiting: helpers shared by every dispatch routine.
#include "nrvusb.h"

// Wakes the routine that sent a request down and keeps the request for it.
NTSTATUS PLMUSB_IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  KeSetEvent((PKEVENT)Context, EVENT_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PLMUSB_ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
  KEVENT done;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, PLMUSB_IrpCompletionRoutine, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(LowerDevice, Irp) == STATUS_PENDING) {
    PLMUSB_WaitForEvent(&done, NULL);
  }
  return Irp->IoStatus.Status;
}

NTSTATUS PLMUSB_CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PLMUSB_WaitForEvent(PKEVENT Event, PLARGE_INTEGER Timeout) {
  return KeWaitForSingleObject(Event, Suspended, KernelMode, FALSE, Timeout);
}
