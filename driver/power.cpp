// Power: the printer FDO owns its device's power policy. A system power change
// becomes a device power change asked of the power manager; the device may not
// sleep while a handle is open. The power manager sends one set-power or query
// at a time, which is what keeps a self request and a system-driven one apart:
// no lock guards the power fields.
#include "nrvusb.h"

// Every set-power and query calls PoStartNextPowerIrp once before it leaves the driver.
NTSTATUS PLMUSB_PassPowerIrp(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return PoCallDriver(LowerDevice, Irp);
}

// While a handle is open the device refuses to sleep, unless it already sleeps
// as deeply as the system would put it.
static BOOLEAN PLMUSB_RefusesQuery(PDeviceExtension Extension, PIO_STACK_LOCATION Stack) {
  POWER_STATE state = Stack->Parameters.Power.State;

  if (Extension->OpenCount == 0) {
    return FALSE;
  }
  if (Stack->Parameters.Power.Type == SystemPowerState) {
    return state.SystemState != PowerSystemWorking && Extension->CurrentDevicePowerState != PowerDeviceD3;
  }
  return Stack->Parameters.Power.Type == DevicePowerState && state.DeviceState >= PowerDeviceD1 &&
         state.DeviceState <= PowerDeviceD3;
}

static NTSTATUS PLMUSB_QueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  NTSTATUS status;

  if (PLMUSB_RefusesQuery(extension, IoGetCurrentIrpStackLocation(Irp))) {
    PoStartNextPowerIrp(Irp);
    status = PLMUSB_CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  } else {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    status = PLMUSB_PassPowerIrp(extension->LowerDevice, Irp);
  }
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

// With a wait-wake down the stack the device sleeps only as deeply as it can still wake from.
static DEVICE_POWER_STATE PLMUSB_DeviceStateFor(PDeviceExtension Extension, SYSTEM_POWER_STATE SystemState) {
  if (SystemState == PowerSystemWorking) {
    return PowerDeviceD0;
  }
  if (Extension->WaitWakeActive && SystemState < PowerSystemMaximum) {
    return Extension->DeviceCapabilities.DeviceState[SystemState];
  }
  return PowerDeviceD3;
}

// The system request waits in PendingSystemPowerIrp until the device request
// has completed, and keeps its request count until then.
static NTSTATUS PLMUSB_SetSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, SYSTEM_POWER_STATE SystemState) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  POWER_STATE target;
  NTSTATUS status;

  target.DeviceState = PLMUSB_DeviceStateFor(extension, SystemState);
  if (target.DeviceState == extension->CurrentDevicePowerState) {
    status = PLMUSB_PassPowerIrp(extension->LowerDevice, Irp);
    PLMUSB_DecrementIoCount(DeviceObject);
    return status;
  }
  // The device request may complete, and pass this one on, before PoRequestPowerIrp returns.
  IoMarkIrpPending(Irp);
  extension->PendingSystemPowerIrp = Irp;
  status = PoRequestPowerIrp(extension->PhysicalDevice, IRP_MN_SET_POWER, target, PLMUSB_PoRequestCompletion,
                             DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // A set-power may not fail: without a device request the system request
    // goes on down as it is, and the device keeps its state.
    extension->PendingSystemPowerIrp = NULL;
    PLMUSB_PassPowerIrp(extension->LowerDevice, Irp);
    PLMUSB_DecrementIoCount(DeviceObject);
  }
  return STATUS_PENDING;
}

// Whatever became of the device request, the held system request goes on down.
VOID NTAPI PLMUSB_PoRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  PDeviceExtension extension = PLMUSB_Extension(fdo);
  PIRP held = extension->PendingSystemPowerIrp;

  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  // Cleared first: once passed on, the next system request may arrive at once.
  extension->PendingSystemPowerIrp = NULL;
  PLMUSB_PassPowerIrp(extension->LowerDevice, held);
  PLMUSB_DecrementIoCount(fdo);
}

// A power-down takes effect before the bus sees it; a power-up only once the bus is done.
BOOLEAN PLMUSB_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  if (State == PowerDeviceD0) {
    return TRUE;
  }
  if (State >= PowerDeviceD1 && State <= PowerDeviceD3) {
    PLMUSB_Extension(DeviceObject)->CurrentDevicePowerState = State;
  }
  return FALSE;
}

static NTSTATUS PLMUSB_SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  BOOLEAN powerUp = PLMUSB_SetDevicePowerState(DeviceObject, State);
  NTSTATUS status;

  IoCopyCurrentIrpStackLocationToNext(Irp);
  if (powerUp) {
    IoSetCompletionRoutine(Irp, PLMUSB_PowerIrp_Complete, DeviceObject, TRUE, TRUE, TRUE);
  }
  PoStartNextPowerIrp(Irp);
  status = PoCallDriver(extension->LowerDevice, Irp);
  // A power-up's count is given back by its completion routine.
  if (!powerUp) {
    PLMUSB_DecrementIoCount(DeviceObject);
  }
  return status;
}

// The device counts as powered once the bus is done, whatever the bus reported.
NTSTATUS NTAPI PLMUSB_PowerIrp_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;

  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  PLMUSB_Extension(fdo)->CurrentDevicePowerState = PowerDeviceD0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  PLMUSB_DecrementIoCount(fdo);
  return STATUS_SUCCESS;
}

// Blocks until the wake signal arrives or the request is cancelled; the
// request is completed here, after the bus has given it back.
static NTSTATUS PLMUSB_WaitWake(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  DEVICE_POWER_STATE wake = extension->DeviceCapabilities.DeviceWake;
  KEVENT event;
  NTSTATUS status;

  extension->PowerDownLevel = wake;
  if (extension->CurrentDevicePowerState == PowerDeviceD0 || wake > extension->CurrentDevicePowerState) {
    status = PLMUSB_CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
    PLMUSB_DecrementIoCount(DeviceObject);
    return status;
  }
  extension->WaitWakeActive = TRUE;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, PLMUSB_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(Irp);
  if (PoCallDriver(extension->LowerDevice, Irp) == STATUS_PENDING) {
    PLMUSB_WaitForEvent(&event, NULL);
  }
  // Read before completing: the request is gone once completed.
  status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  PLMUSB_SelfSuspendOrActivate(DeviceObject, FALSE);
  extension->WaitWakeActive = FALSE;
  PLMUSB_DecrementIoCount(DeviceObject);
  return status;
}

NTSTATUS NTAPI PLMUSB_ProcessPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;

  if (PLMUSB_DispatchForChild(DeviceObject, Irp, &status)) {
    return status;
  }
  PLMUSB_IncrementIoCount(DeviceObject);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER:
      return PLMUSB_QueryPower(DeviceObject, Irp);
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == SystemPowerState) {
        return PLMUSB_SetSystemPower(DeviceObject, Irp, stack->Parameters.Power.State.SystemState);
      }
      return PLMUSB_SetDevicePower(DeviceObject, Irp, stack->Parameters.Power.State.DeviceState);
    case IRP_MN_WAIT_WAKE:
      return PLMUSB_WaitWake(DeviceObject, Irp);
    default:
      status = PLMUSB_PassPowerIrp(extension->LowerDevice, Irp);
      PLMUSB_DecrementIoCount(DeviceObject);
      return status;
  }
}

// ---------------------------------------------------------------- self-requested power changes

// Suspends only while no handle is open and activates only while one is, and
// never while a system-driven or another self request is under way.
NTSTATUS PLMUSB_SelfSuspendOrActivate(PDEVICE_OBJECT DeviceObject, BOOLEAN Suspend) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);

  if (!PLMUSB_CanAcceptIoRequests(DeviceObject)) {
    return STATUS_DELETE_PENDING;
  }
  if (extension->PendingSystemPowerIrp != NULL || extension->SelfPowerRequestActive) {
    return STATUS_SUCCESS;
  }
  if ((Suspend && extension->OpenCount != 0) || (!Suspend && extension->OpenCount == 0)) {
    return STATUS_SUCCESS;
  }
  if (extension->PowerDownLevel < PowerDeviceD1 || extension->PowerDownLevel > PowerDeviceD3) {
    return STATUS_SUCCESS;
  }
  return PLMUSB_SelfRequestPowerIrp(DeviceObject, Suspend ? extension->PowerDownLevel : PowerDeviceD0);
}

// A power-up is waited for; a suspend is not.
NTSTATUS PLMUSB_SelfRequestPowerIrp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  PDeviceExtension extension = PLMUSB_Extension(DeviceObject);
  BOOLEAN powerUp = State < extension->PowerDownLevel;
  POWER_STATE state;
  NTSTATUS status;

  if (State == extension->CurrentDevicePowerState) {
    return STATUS_SUCCESS;
  }
  PLMUSB_IncrementIoCount(DeviceObject);
  extension->SelfPowerRequestActive = TRUE;
  // The wait below must be for this power-up, not one that ended earlier.
  if (powerUp) {
    KeClearEvent(&extension->SelfPowerEvent);
  }
  state.DeviceState = State;
  status = PoRequestPowerIrp(extension->PhysicalDevice, IRP_MN_SET_POWER, state,
                             PLMUSB_PoSelfRequestCompletion, DeviceObject, NULL);
  if (status != STATUS_PENDING) {
    // No request went out, so no completion gives these back.
    extension->SelfPowerRequestActive = FALSE;
    PLMUSB_DecrementIoCount(DeviceObject);
    return status;
  }
  if (powerUp) {
    PLMUSB_WaitForEvent(&extension->SelfPowerEvent, NULL);
  }
  extension->SelfPowerRequestActive = FALSE;
  return STATUS_SUCCESS;
}

VOID NTAPI PLMUSB_PoSelfRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  PDeviceExtension extension = PLMUSB_Extension(fdo);

  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(IoStatus);
  if (PowerState.DeviceState < extension->PowerDownLevel) {
    KeSetEvent(&extension->SelfPowerEvent, EVENT_INCREMENT, FALSE);
  }
  PLMUSB_DecrementIoCount(fdo);
}

// ---------------------------------------------------------------- capabilities

// The bus fills in the record; it is told what record it is filling, and the
// request starts as not supported, as every Plug and Play request does.
NTSTATUS PLMUSB_QueryCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Capabilities) {
  PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
  PIO_STACK_LOCATION next;
  KEVENT event;
  NTSTATUS status;

  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = (ULONG)-1;
  Capabilities->UINumber = (ULONG)-1;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = Capabilities;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, PLMUSB_IrpCompletionRoutine, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Target, irp) == STATUS_PENDING) {
    PLMUSB_WaitForEvent(&event, NULL);
  }
  // The request's own final status: the call may have returned before it ended.
  status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}
