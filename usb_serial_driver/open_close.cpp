// Open, close and cleanup, at PASSIVE_LEVEL in the caller's thread. Locks: OpenMutex serializes
// open with query stop and query remove; CloseMutex serializes close; ControlLock guards
// PortOpen.
#include "open_close.h"

#include "abort_all.h"
#include "dpc_accounting.h"
#include "entry_irql.h"
#include "power.h"
#include "receive_ring.h"
#include "request_gate.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

// Fails an open that got past the gate: nothing it took stays behind.
NTSTATUS RefuseOpen(PortExtension* port, PIRP irp, NTSTATUS status) {
  ExReleaseFastMutex(&port->OpenMutex);
  InterlockedDecrement(&port->OpenCount);
  return FinishRequest(port, irp, status);
}

void MarkPortOpen(PortExtension* port) {
  ResetRingGeometry(port);
  port->WaitWakeEnabled = FALSE;
  port->TotalCharsQueued = 0;
  port->IrpMaskLocation = nullptr;
  port->HistoryMask = 0;
  port->WaitMask = 0;
  port->WriteCompletion = PendingCompletion{STATUS_SUCCESS, DataSideIdle, FALSE};
  port->ImmediateCompletion = PendingCompletion{STATUS_SUCCESS, DataSideIdle, FALSE};
  port->TxCarries = CarriesNothing;
  port->TxSending = FALSE;
  port->WriteLength = 0;
  port->ImmediateInFlight = FALSE;
  port->EmptiedTransmit = FALSE;
  port->DtrRts = SERIAL_DTR_STATE | SERIAL_RTS_STATE;
  WriteUCharRelease(&port->Aborting, FALSE);
  RtlZeroMemory(&port->PerfStats, sizeof port->PerfStats);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&port->ErrorWord), 0);
  WriteUCharRelease(&port->PortOpen, TRUE);
}

// Stops both transfers and frees the ring; the transfer blocks go once the DPCs have drained.
void ClosePort(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  WriteUCharRelease(&port->PortOpen, FALSE);
  KeReleaseSpinLock(&port->ControlLock, irql);
  AbortAll(port, FALSE);  // the port is closed, so this cancels both transfers and waits for them
  port->RxHolding = 0;
  port->TxHolding = 0;
  FreeReceiveRing(port);
  port->WaitWakeEnabled = FALSE;
  CancelWaitWake(port);
}

}  // namespace

NTSTATUS NTAPI OpenDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  irp->IoStatus.Information = 0;
  if (port->PnpState != PnpStateStarted) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ExAcquireFastMutex(&port->OpenMutex);
  NTSTATUS gate = RequestGate(port, irp);
  if (gate != STATUS_SUCCESS) {
    ExReleaseFastMutex(&port->OpenMutex);
    return gate == STATUS_PENDING ? gate : FinishRequest(port, irp, gate);
  }
  if (InterlockedIncrement(&port->OpenCount) != 1) return RefuseOpen(port, irp, STATUS_ACCESS_DENIED);
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE)
    return RefuseOpen(port, irp, STATUS_NOT_A_DIRECTORY);
  // Transfer blocks still here were left by a close that found the device going (its removal
  // frees them): this open passed the gate just before, and the device is going for it too.
  if (port->RxTransferBlock || port->TxTransferBlock) return RefuseOpen(port, irp, STATUS_DELETE_PENDING);
  NTSTATUS status = AllocateReceiveRing(port);
  if (!NT_SUCCESS(status)) return RefuseOpen(port, irp, status);
  // The transfer blocks come before the open succeeds, so no transfer is ever built without one.
  status = AllocateTransferBlocks(port);
  if (NT_SUCCESS(status)) status = RequestDevicePower(port, PowerDeviceD0);
  if (!NT_SUCCESS(status)) {
    FreeTransferBlocks(port);
    FreeReceiveRing(port);
    return RefuseOpen(port, irp, status);
  }
  MarkPortOpen(port);
  ExReleaseFastMutex(&port->OpenMutex);

  CheckAndResetPort(port);
  ResetPipe(port, ReceivePipe);
  RestartReceive(port);
  DbgPrint("Open Port !!!\n");
  // Counted out last: removal must not delete the device while the open still runs.
  return FinishRequest(port, irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  ExAcquireFastMutex(&port->CloseMutex);
  NTSTATUS gate = RequestGate(port, irp);
  if (gate == STATUS_PENDING) {
    ExReleaseFastMutex(&port->CloseMutex);
    return gate;
  }
  if (gate != STATUS_SUCCESS) {
    // The device is going: only the ring goes now, the close succeeds, and the removal that
    // follows frees the rest.
    if (gate == STATUS_DELETE_PENDING) {
      FreeReceiveRing(port);
      gate = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = gate;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    // A close that found no open counts nothing out: the next open would be refused for ever.
    if (ReadLongAcquire(&port->OpenCount) > 0) InterlockedDecrement(&port->OpenCount);
    ExReleaseFastMutex(&port->CloseMutex);
    ReleasePendingRequest(port);  // last, as below
    return gate;
  }
  if (ReadLongAcquire(&port->OpenCount) <= 0) {
    ExReleaseFastMutex(&port->CloseMutex);
    return FinishRequest(port, irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  ClosePort(port);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  WaitForDpcs(port);
  // Before OpenCount lets the next open in: that open allocates transfer blocks of its own.
  FreeTransferBlocks(port);
  ExReleaseFastMutex(&port->CloseMutex);
  InterlockedIncrement(&port->PendingDpcCount);
  InterlockedDecrement(&port->OpenCount);
  DbgPrint("Close Port !!!\n");
  // Counted out last: removal must not delete the device while the close still runs.
  ReleasePendingRequest(port);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  NTSTATUS gate = RequestGate(port, irp);
  if (gate == STATUS_PENDING) return gate;
  if (gate == STATUS_SUCCESS) {
    AbortAll(port, FALSE);  // the port is still open: its transfers go on, its requests are cancelled
  } else if (gate != STATUS_DELETE_PENDING) {
    return FinishRequest(port, irp, gate);
  }
  return FinishRequest(port, irp, STATUS_SUCCESS);
}

}  // namespace quenta
