// Power requests. Requests of the power manager are serialized by PoStartNextPowerIrp; the
// device's own requests come back through this same dispatch routine. Locks: FlagsLock (the
// powered-down flag), ControlLock (PortOpen).
#include "power.h"

#include "entry_irql.h"
#include "forward_and_wait.h"
#include "request_gate.h"

namespace quenta {

namespace {

struct PowerUpWait {
  KEVENT Done;
  NTSTATUS Status;
};

// What a system power request needs after it came back: the system request to finish.
struct SystemPowerContext {
  PDEVICE_OBJECT DeviceObject;
  PIRP SystemIrp;
};

void ChangePnpFlags(PortExtension* port, ULONG set, ULONG clear) {
  KIRQL irql;
  KeAcquireSpinLock(&port->FlagsLock, &irql);
  port->PnpFlags = (port->PnpFlags | set) & ~clear;
  KeReleaseSpinLock(&port->FlagsLock, irql);
}

bool StopOrRemovePending(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->FlagsLock, &irql);
  bool pending = (port->PnpFlags & (PnpStopPending | PnpStopped | PnpRemovePending | PnpSurpriseRemoved)) != 0;
  KeReleaseSpinLock(&port->FlagsLock, irql);
  return pending;
}

bool WaitWakeArmed(PortExtension* port) { return port->PendingWaitWakeIrp || port->WaitWakeEnabled; }

NTSTATUS PassPowerDown(PortExtension* port, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = PoCallDriver(port->LowerDeviceObject, irp);
  ReleasePendingRequest(port);
  return status;
}

NTSTATUS RefusePower(PortExtension* port, PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  return FinishRequest(port, irp, status);
}

void NTAPI DevicePowerRequested(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  AssertCompletionEntry();
  auto wait = static_cast<PowerUpWait*>(context);
  wait->Status = ioStatus->Status;
  KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);  // the waiter's frame: last touch
}

void NTAPI WaitWakeCompleted(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  AssertCompletionEntry();
  auto port = static_cast<PortExtension*>(context);
  if (NT_SUCCESS(ioStatus->Status)) {
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(port->PhysicalDeviceObject, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
  }
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->PendingWaitWakeIrp), nullptr);
  ReleasePendingRequest(port);
}

// At power-down with WaitWakeEnabled: asks the bus to wake the system from SystemWake.
void ArmWaitWake(PortExtension* port) {
  if (port->PendingWaitWakeIrp || port->SystemWake < PowerSystemSleeping1 || port->DeviceWake == 0) return;
  InterlockedIncrement(&port->PendingRequestCount);
  POWER_STATE state;
  state.SystemState = SYSTEM_POWER_STATE(port->SystemWake);
  // The request is stored before it is sent, so that its completion can clear it again.
  NTSTATUS status = PoRequestPowerIrp(port->PhysicalDeviceObject, IRP_MN_WAIT_WAKE, state, WaitWakeCompleted, port,
                                      &port->PendingWaitWakeIrp);
  if (status != STATUS_PENDING) {
    port->PendingWaitWakeIrp = nullptr;
    ReleasePendingRequest(port);
  }
}

NTSTATUS SetDevicePower(PortExtension* port, PIRP irp) {
  POWER_STATE requested = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
  ULONG target = requested.DeviceState;
  if (target == port->DevicePowerState || target < PowerDeviceD0 || target > PowerDeviceD3)
    return PassPowerDown(port, irp);
  if (target == PowerDeviceD0) {
    NTSTATUS status = ForwardAndWait(port, irp, &port->PowerCompletionEvent);
    if (NT_SUCCESS(status)) {
      port->DevicePowerState = PowerDeviceD0;
      PoSetPowerState(port->DeviceObject, DevicePowerState, requested);
    }
    PoStartNextPowerIrp(irp);
    ChangePnpFlags(port, 0, PnpPoweredDown);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    // What stalled while the device slept would otherwise wait for a restart that may never come.
    if (NT_SUCCESS(status) && !StopOrRemovePending(port)) ReleaseStalledRequests(port);
    ReleasePendingRequest(port);
    return status;
  }
  ChangePnpFlags(port, PnpPoweredDown, 0);
  if (port->WaitWakeEnabled) ArmWaitWake(port);
  PoSetPowerState(port->DeviceObject, DevicePowerState, requested);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  WriteUCharRelease(&port->PortOpen, FALSE);  // serial requests fail until the port is opened again
  KeReleaseSpinLock(&port->ControlLock, irql);
  port->DevicePowerState = PowerDeviceD3;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPowerDown(port, irp);
}

void NTAPI SystemPowerDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  AssertCompletionEntry();
  auto power = static_cast<SystemPowerContext*>(context);
  PIRP systemIrp = power->SystemIrp;
  PortExtension* port = PortOf(power->DeviceObject);
  ExFreePool(power);
  systemIrp->IoStatus.Status = ioStatus->Status;
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_SERIAL_INCREMENT);
  ReleasePendingRequest(port);
}

// The system request came back from the lower drivers: now the device request that goes with it.
NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  AssertCompletionEntry();
  auto port = static_cast<PortExtension*>(context);
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status)) {
    auto power =
        static_cast<SystemPowerContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SystemPowerContext), PortPoolTag));
    if (power) {
      power->DeviceObject = port->DeviceObject;
      power->SystemIrp = irp;
      POWER_STATE state;
      state.DeviceState = DEVICE_POWER_STATE(port->PowerStateToRequest);
      status =
          PoRequestPowerIrp(port->PhysicalDeviceObject, IRP_MN_SET_POWER, state, SystemPowerDeviceDone, power, nullptr);
      if (status == STATUS_PENDING) return STATUS_MORE_PROCESSING_REQUIRED;
      ExFreePool(power);
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = status;
  }
  // The system request completes now, with its own or the failure's status.
  PoStartNextPowerIrp(irp);
  ReleasePendingRequest(port);
  return STATUS_SUCCESS;
}

ULONG MapSystemState(PortExtension* port, ULONG system, bool* handled) {
  *handled = true;
  if (system == PowerSystemUnspecified) return 0;
  if (system == PowerSystemWorking) return PowerDeviceD0;
  // The map has entries up to Shutdown; the maximum value takes Shutdown's.
  if (system >= PowerSystemSleeping1 && system <= PowerSystemShutdown) return port->SystemToDeviceMap[system];
  if (system == PowerSystemMaximum) return port->SystemToDeviceMap[PowerSystemShutdown];
  *handled = false;
  return 0;
}

NTSTATUS SetSystemPower(PortExtension* port, PIRP irp) {
  if (!port->OwnsPowerPolicy) return PassPowerDown(port, irp);
  bool handled;
  ULONG mapped = MapSystemState(port, IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState, &handled);
  if (!handled) return PassPowerDown(port, irp);
  // Powering up needs no wake check; the device is asked for the mapped state whether the
  // port is open or not.
  bool shallower = mapped != 0 && mapped < port->DevicePowerState;
  if (!shallower && WaitWakeArmed(port) && mapped > port->DeviceWake)
    return RefusePower(port, irp, STATUS_INVALID_DEVICE_STATE);
  port->PowerStateToRequest = mapped;
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SystemPowerComplete, port, TRUE, TRUE, TRUE);
  PoCallDriver(port->LowerDeviceObject, irp);
  return STATUS_PENDING;
}

NTSTATUS QueryPower(PortExtension* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (WaitWakeArmed(port) && stack->Parameters.Power.Type == DevicePowerState &&
      ULONG(stack->Parameters.Power.State.DeviceState) > port->DeviceWake)
    return RefusePower(port, irp, STATUS_INVALID_DEVICE_STATE);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPowerDown(port, irp);
}

}  // namespace

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  NTSTATUS gate = RequestGate(port, irp);
  if (gate == STATUS_PENDING) return gate;
  if (gate != STATUS_SUCCESS) return RefusePower(port, irp, gate);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      return stack->Parameters.Power.Type == DevicePowerState ? SetDevicePower(port, irp) : SetSystemPower(port, irp);
    case IRP_MN_QUERY_POWER:
      return QueryPower(port, irp);
    default:
      return PassPowerDown(port, irp);
  }
}

NTSTATUS RequestDevicePower(PortExtension* port, DEVICE_POWER_STATE state) {
  PowerUpWait wait;
  KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
  wait.Status = STATUS_SUCCESS;
  POWER_STATE power;
  power.DeviceState = state;
  NTSTATUS status =
      PoRequestPowerIrp(port->PhysicalDeviceObject, IRP_MN_SET_POWER, power, DevicePowerRequested, &wait, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
  return wait.Status;
}

void CancelWaitWake(PortExtension* port) {
  auto irp = static_cast<PIRP>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&port->PendingWaitWakeIrp), nullptr));
  if (irp) IoCancelIrp(irp);
}

}  // namespace quenta
