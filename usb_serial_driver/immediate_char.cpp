// The immediate character. It shares the transmit side with the write path: it is refused with
// STATUS_TIMEOUT when a write is being sent, as a write is while it holds the pipe. Lock: the
// cancel spin lock.
#include "immediate_char.h"

#include "dpc_accounting.h"
#include "entry_irql.h"
#include "request_gate.h"
#include "serial_paths.h"
#include "serial_timeouts.h"
#include "transmit_side.h"
#include "usb_configuration.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

// Grab, cancel spin lock held: a character nothing will send any more is given up.
void ImmediateGrab(PortExtension* port) {
  PendingCompletion& record = port->ImmediateCompletion;
  if (record.Side != DataSideStalled) return;
  record.Side = DataSideIdle;
  record.AbortPending = FALSE;
  ClearReference(port->CurrentImmediateIrp, ReferenceDataSide);
}

// Its getNext step: the request leaves, with its byte out of TotalCharsQueued.
void ImmediateDone(PortExtension* port, PIRP* current, PLIST_ENTRY, PIRP* next, BOOLEAN completeCurrent) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = *current;
  *current = nullptr;
  port->TotalCharsQueued -= 1;
  CheckTransmitEmpty(port);
  IoReleaseCancelSpinLock(irql);
  *next = nullptr;
  if (!completeCurrent) return;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleasePendingRequest(port);
}

void StopImmediate(PortExtension* port) {
  if (port->ImmediateCompletion.AbortPending)
    FinishDataSide(port, ImmediatePath, 0);
  else
    port->ImmediateCompletion.Side = DataSideStalled;
}

void NTAPI ImmediateCancel(PDEVICE_OBJECT device, PIRP irp) {
  AssertCancelEntry();
  AbortTransmitRequest(PortOf(device), ImmediatePath, irp->CancelIrql, STATUS_CANCELLED, ReferenceCancelRoutine);
}

// The request is current and marked pending.
void StartImmediate(PortExtension* port) {
  PIRP irp = port->CurrentImmediateIrp;
  LARGE_INTEGER due;
  BOOLEAN timed = WriteTotalTimeout(port, 1, &due);
  KIRQL irql;
  SetReferenceBits(irp, 0);
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    port->CurrentImmediateIrp = nullptr;
    port->TotalCharsQueued -= 1;
    IoReleaseCancelSpinLock(irql);
    FinishRequest(port, irp, STATUS_CANCELLED);
    return;
  }
  IoSetCancelRoutine(irp, ImmediateCancel);
  SetReferenceBits(irp, ReferenceDataSide | ReferenceCancelRoutine);
  if (timed) {
    SetReference(irp, ReferenceTotalTimer);
    ArmTimer(port, &port->ImmediateTotalTimer, due, &port->ImmediateTimeoutDpc);
  }
  RtlCopyMemory(&port->ImmediateChar, irp->AssociatedIrp.SystemBuffer, 1);
  port->ImmediateCompletion = PendingCompletion{STATUS_SUCCESS, DataSideSending, FALSE};
  if (port->WriteLength || port->TxCarries != CarriesNothing) {
    port->ImmediateCompletion.Status = STATUS_TIMEOUT;
    FinishDataSide(port, ImmediatePath, 0);
    IoReleaseCancelSpinLock(irql);
    return;
  }
  port->ImmediateInFlight = TRUE;
  port->TxCarries = CarriesImmediate;
  port->TxChunkLength = 1;
  IoReleaseCancelSpinLock(irql);
  BOOLEAN handedDown;
  SendBulk(port, TransmitPipe, &port->ImmediateChar, 1, &handedDown);
  IoAcquireCancelSpinLock(&irql);
  PIRP transfer = nullptr;
  if (!handedDown) {
    port->TxCarries = CarriesNothing;
    port->ImmediateInFlight = FALSE;
    StopImmediate(port);
  } else if (port->ImmediateCompletion.Side == DataSideSending && port->ImmediateCompletion.AbortPending) {
    transfer = TakeTransferForCancel(port, TransmitDirection);
  }
  IoReleaseCancelSpinLock(irql);
  CancelTakenTransfer(port, TransmitDirection, transfer);
}

}  // namespace

constinit const TransmitPath ImmediatePath = {&PortExtension::CurrentImmediateIrp,
                                              nullptr,
                                              &PortExtension::ImmediateCompletion,
                                              &PortExtension::ImmediateTotalTimer,
                                              &PortExtension::CompleteImmediateDpc,
                                              CarriesImmediate,
                                              ImmediateGrab,
                                              nullptr,
                                              ImmediateDone};

NTSTATUS SendImmediateChar(PortExtension* port, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (port->CurrentImmediateIrp) {
    IoReleaseCancelSpinLock(irql);
    return FinishRequest(port, irp, STATUS_INVALID_PARAMETER);
  }
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    return FinishRequest(port, irp, STATUS_CANCELLED);
  }
  port->CurrentImmediateIrp = irp;
  port->TotalCharsQueued += 1;
  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  IoReleaseCancelSpinLock(irql);
  StartImmediate(port);
  return STATUS_PENDING;
}

void ImmediateTransferDone(PortExtension* port, bool accepted, ULONG sent) {
  port->ImmediateInFlight = FALSE;
  if (accepted && sent) {
    port->EmptiedTransmit = TRUE;
    FinishDataSide(port, ImmediatePath, 0);
    return;
  }
  StopImmediate(port);
}

void NTAPI CompleteImmediateRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  TransmitCompletionDpc(context, ImmediatePath);
}
void NTAPI ImmediateTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { TransmitTimeoutDpc(context, ImmediatePath); }

}  // namespace quenta
