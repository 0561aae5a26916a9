// Plug-and-play requests arrive one at a time, at PASSIVE_LEVEL. Locks: FlagsLock (PnpFlags,
// DeviceStateFlags), OpenMutex (query stop and query remove against open).
#include "pnp.h"

#include "abort_all.h"
#include "device_objects.h"
#include "entry_irql.h"
#include "forward_and_wait.h"
#include "port_naming.h"
#include "power.h"
#include "receive_ring.h"
#include "registry_values.h"
#include "request_gate.h"
#include "serial_side.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

struct Flags {
  ULONG pnp;
  ULONG device;
};

Flags ChangeFlags(PortExtension* port, ULONG setPnp, ULONG clearPnp, ULONG setDevice, ULONG clearDevice) {
  KIRQL irql;
  KeAcquireSpinLock(&port->FlagsLock, &irql);
  Flags before = {port->PnpFlags, port->DeviceStateFlags};
  port->PnpFlags = (port->PnpFlags | setPnp) & ~clearPnp;
  port->DeviceStateFlags = (port->DeviceStateFlags | setDevice) & ~clearDevice;
  KeReleaseSpinLock(&port->FlagsLock, irql);
  return before;
}

NTSTATUS PassDown(PortExtension* port, PIRP irp, bool releaseCount) {
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(port->LowerDeviceObject, irp);
  if (releaseCount) ReleasePendingRequest(port);
  return status;
}

NTSTATUS Succeed(PortExtension* port, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(port, irp, true);
}

// Read at the first start, from the device's hardware key; a key that cannot be opened leaves
// both settings as they are.
void ReadPowerSettings(PortExtension* port) {
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return;
  ULONG value = 0;
  ReadRegistryValue(key, KTEXT("UsbRelinquishPowerPolicy"), &value, sizeof value);
  port->OwnsPowerPolicy = value ? FALSE : TRUE;
  value = 0;
  ReadRegistryValue(key, KTEXT("EnablePowerManagement"), &value, sizeof value);
  port->PowerManagementEnabled = value ? TRUE : FALSE;
  ZwClose(key);
}

// The driver's own part of a start, once the lower drivers have started and the device is
// configured.
NTSTATUS StartPort(PortExtension* port) {
  Flags flags = ChangeFlags(port, 0, 0, 0, 0);
  if ((flags.device & (DeviceStarted | DeviceStopped)) == (DeviceStarted | DeviceStopped)) {
    ChangeFlags(port, 0, 0, 0, DeviceStopped);
    port->PnpState = PnpStateRestarting;
  } else {
    ReadPowerSettings(port);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (port->DevicePowerState != PowerDeviceD0) status = RequestDevicePower(port, PowerDeviceD0);
  if (NT_SUCCESS(status)) {
    InitializeSerialSide(port);
    NamePort(port);  // a port without a name still starts
    if (port->PnpState == PnpStateRestarting) ReleaseStalledRequests(port);
    port->PnpState = PnpStateStarted;
    ChangeFlags(port, 0, 0xFFFFFFFFu, DeviceStarted, 0);
    return STATUS_SUCCESS;
  }
  if (port->PnpState == PnpStateRestarting) {
    DbgPrint("USB_PNP_RESTARTING !!!\n");
    AbortAll(port, FALSE);
    ChangeFlags(port, PnpRemovePending, 0, 0, DeviceStarted);
  }
  return status;
}

NTSTATUS StartDevice(PortExtension* port, PIRP irp) {
  port->DevicePowerState = PowerDeviceD0;
  KeInitializeEvent(&port->LowerCompletionEvent, NotificationEvent, FALSE);
  NTSTATUS status = ForwardAndWait(port, irp, &port->LowerCompletionEvent);
  if (NT_SUCCESS(status)) status = ConfigureDevice(port);
  if (NT_SUCCESS(status)) status = StartPort(port);
  return FinishRequest(port, irp, status, irp->IoStatus.Information);
}

NTSTATUS QueryCapabilities(PortExtension* port, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  NTSTATUS status = ForwardAndWait(port, irp, &done);
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (NT_SUCCESS(status) && capabilities) {
    port->SystemToDeviceMap[PowerSystemUnspecified] = 0;
    port->SystemToDeviceMap[PowerSystemWorking] = PowerDeviceD0;
    for (ULONG state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state)
      port->SystemToDeviceMap[state] = capabilities->DeviceState[state];
    port->SystemWake = capabilities->SystemWake;
    port->DeviceWake = capabilities->DeviceWake;
  }
  return FinishRequest(port, irp, status, irp->IoStatus.Information);
}

// Query stop and query remove: refused while the port is open; OpenMutex keeps an open from
// slipping in between. A power-down clears PortOpen while the handle stays open with its requests
// pending, so the handle counts too: a stop agreed to then would wait for them forever.
NTSTATUS QueryHold(PortExtension* port, PIRP irp, ULONG pendingFlag, ULONG pendingState) {
  ExAcquireFastMutex(&port->OpenMutex);
  if (ReadUCharAcquire(&port->PortOpen) || ReadLongAcquire(&port->OpenCount) > 0) {
    ExReleaseFastMutex(&port->OpenMutex);
    return FinishRequest(port, irp, STATUS_DEVICE_BUSY);
  }
  port->PnpState = pendingState;
  ChangeFlags(port, pendingFlag, 0, 0, 0);
  ExReleaseFastMutex(&port->OpenMutex);
  return Succeed(port, irp);
}

// Cancel stop and cancel remove: started again, the pending mark gone.
NTSTATUS CancelHold(PortExtension* port, PIRP irp, ULONG pendingFlag) {
  port->PnpState = PnpStateStarted;
  ChangeFlags(port, 0, pendingFlag, 0, 0);
  return Succeed(port, irp);
}

NTSTATUS StopDevice(PortExtension* port, PIRP irp) {
  Flags before = ChangeFlags(port, PnpStopped, PnpStopPending, DeviceStopped, 0);
  port->PnpState = PnpStateStopped;
  // An armed wait-wake counts as a pending request until it completes, and nothing else would
  // complete it: the drain would never end. It is armed again at the next power-down.
  CancelWaitWake(port);
  DrainPendingRequests(port);
  InterlockedIncrement(&port->PendingRequestCount);  // the initial count, back
  if (before.device & DeviceStarted) CancelSerialTimersAndDpcs(port);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(port, irp, false);  // its own count went with the drain
}

// Removal without a prior surprise removal, and surprise removal.
void StopDeviceServices(PortExtension* port) {
  Flags flags = ChangeFlags(port, 0, 0, 0, 0);
  if ((flags.device & DeviceStarted) && !(flags.device & DeviceStopped)) CancelSerialTimersAndDpcs(port);
  UnnamePort(port);
  RequestDevicePower(port, PowerDeviceD3);
}

NTSTATUS SurpriseRemoval(PortExtension* port, PIRP irp) {
  ChangeFlags(port, PnpSurpriseRemoved, 0, 0, 0);
  AbortAll(port, TRUE);
  DrainPendingRequests(port);
  InterlockedIncrement(&port->PendingRequestCount);  // the initial count, back
  StopDeviceServices(port);
  AbortPipes(port);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(port, irp, false);  // its own count went with the drain
}

NTSTATUS RemoveDevice(PortExtension* port, PIRP irp) {
  Flags before = ChangeFlags(port, PnpRemovePending, 0, 0, 0);
  AbortAll(port, TRUE);
  DrainPendingRequests(port);
  if (before.pnp != PnpSurpriseRemoved) AbortPipes(port);
  if (!(before.pnp & PnpSurpriseRemoved)) StopDeviceServices(port);
  // What a close that never came (or was cancelled while stalled) would have freed.
  FreeReceiveRing(port);
  FreeTransferBlocks(port);
  FreeConfiguration(port);
  PDEVICE_OBJECT lower = port->LowerDeviceObject;
  IoDetachDevice(lower);
  FreePortNames(port, TRUE);
  DeleteDeviceObject(port);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

}  // namespace

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  NTSTATUS gate = RequestGate(port, irp);  // plug-and-play requests always pass
  if (gate != STATUS_SUCCESS) return gate == STATUS_PENDING ? gate : FinishRequest(port, irp, gate);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(port, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return QueryHold(port, irp, PnpRemovePending, PnpStateRemovePending);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(port, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return CancelHold(port, irp, PnpRemovePending);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(port, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (port->PnpState != PnpStateStarted) return Succeed(port, irp);
      return QueryHold(port, irp, PnpStopPending, PnpStateStopPending);
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (port->PnpState != PnpStateStopPending) return Succeed(port, irp);
      return CancelHold(port, irp, PnpStopPending);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(port, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemoval(port, irp);
    default:
      return PassDown(port, irp, true);
  }
}

}  // namespace quenta
