// The write path: writes served one at a time from the write queue, their bytes carried to the
// handset in bulk-OUT transfers of at most 2048 bytes, each sent when the one before it came
// back; flushes complete in the same queue once every write before them has. A write ends when
// its last byte is accepted (success), when its total time-out expires (STATUS_TIMEOUT with the
// bytes accepted so far) or when it is cancelled (0 bytes). Lock: the cancel spin lock.
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

NTSTATUS StartWrite(PortExtension* port);
void GetNextWrite(PortExtension* port, PIRP* current, PLIST_ENTRY queue, PIRP* next, BOOLEAN completeCurrent);

UCHAR MajorOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction; }

// Grab of the write, cancel spin lock held: a write whose bytes nothing will send any more ends
// with those that were accepted.
void WriteGrab(PortExtension* port) {
  PendingCompletion& record = port->WriteCompletion;
  if (record.Side != DataSideStalled) return;
  PIRP write = port->CurrentWriteIrp;
  write->IoStatus.Information = WriteLengthOf(write) - port->WriteLength;
  port->WriteLength = 0;
  record.Side = DataSideIdle;
  record.AbortPending = FALSE;
  ClearReference(write, ReferenceDataSide);
}

// Cancel spin lock held: the write's data side ends with the bytes accepted; none is left to send.
void FinishWrite(PortExtension* port) {
  ULONG_PTR accepted = WriteLengthOf(port->CurrentWriteIrp) - port->WriteLength;
  port->WriteLength = 0;
  FinishDataSide(port, WritePath, accepted);
}

// Cancel spin lock held: nothing carries the write's bytes any more; it ends now if a time-out
// or cancel asked for it, else it waits for one.
void StopSending(PortExtension* port) {
  if (port->WriteCompletion.AbortPending)
    FinishWrite(port);
  else
    port->WriteCompletion.Side = DataSideStalled;
}

void NTAPI WriteCancel(PDEVICE_OBJECT device, PIRP irp) {
  AssertCancelEntry();
  AbortTransmitRequest(PortOf(device), WritePath, irp->CancelIrql, STATUS_CANCELLED, ReferenceCancelRoutine);
}

// Starter of the write queue: starts the current write, and the ones after it while the current
// one ends at once (cancelled before it started).
NTSTATUS StartWrite(PortExtension* port) {
  NTSTATUS first = STATUS_PENDING;
  for (bool isFirst = true;; isFirst = false) {
    PIRP write = port->CurrentWriteIrp;
    ULONG length = WriteLengthOf(write);
    LARGE_INTEGER due;
    BOOLEAN timed = WriteTotalTimeout(port, length, &due);
    KIRQL irql;
    SetReferenceBits(write, 0);
    IoAcquireCancelSpinLock(&irql);
    if (write->Cancel) {
      IoReleaseCancelSpinLock(irql);
      write->IoStatus.Status = STATUS_CANCELLED;
      write->IoStatus.Information = 0;
      if (isFirst) first = STATUS_CANCELLED;
      PIRP next;
      GetNextWrite(port, &port->CurrentWriteIrp, &port->WriteQueue, &next, TRUE);
      if (!next) return first;
      continue;
    }
    IoMarkIrpPending(write);
    IoSetCancelRoutine(write, WriteCancel);
    SetReferenceBits(write, ReferenceDataSide | ReferenceCancelRoutine);
    if (timed) {
      SetReference(write, ReferenceTotalTimer);
      ArmTimer(port, &port->WriteTotalTimer, due, &port->WriteTimeoutDpc);
    }
    port->WriteLength = length;
    port->WriteCurrentChar = static_cast<PUCHAR>(write->AssociatedIrp.SystemBuffer);
    port->WriteCompletion = PendingCompletion{STATUS_SUCCESS, DataSideReady, FALSE};
    // The immediate character holds the pipe: the write is refused rather than kept waiting.
    if (port->ImmediateInFlight) {
      port->WriteCompletion.Status = STATUS_TIMEOUT;
      FinishWrite(port);
    }
    IoReleaseCancelSpinLock(irql);
    SendWriteBytes(port);
    return first;
  }
}

// The write queue's getNext: the write leaving the queue takes its bytes out of
// TotalCharsQueued; flushes that come up complete at once, in order; an empty queue is the
// moment to look for transmit-empty.
void GetNextWrite(PortExtension* port, PIRP* current, PLIST_ENTRY queue, PIRP* next, BOOLEAN completeCurrent) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (*current && MajorOf(*current) == IRP_MJ_WRITE) port->TotalCharsQueued -= LONG(WriteLengthOf(*current));
    IoReleaseCancelSpinLock(irql);
    GetNextRequest(port, current, queue, next, completeCurrent);
    if (*next && MajorOf(*next) == IRP_MJ_FLUSH_BUFFERS) {
      (*next)->IoStatus.Status = STATUS_SUCCESS;
      completeCurrent = TRUE;
      continue;
    }
    if (!*next) {
      IoAcquireCancelSpinLock(&irql);
      CheckTransmitEmpty(port);
      IoReleaseCancelSpinLock(irql);
    }
    return;
  }
}

// A flush that comes up in an idle queue has nothing to wait for.
NTSTATUS StartFlush(PortExtension* port) {
  port->CurrentWriteIrp->IoStatus.Status = STATUS_SUCCESS;
  PIRP next;
  GetNextWrite(port, &port->CurrentWriteIrp, &port->WriteQueue, &next, TRUE);
  if (next) StartWrite(port);
  return STATUS_SUCCESS;
}

}  // namespace

constinit const TransmitPath WritePath = {&PortExtension::CurrentWriteIrp,
                                          &PortExtension::WriteQueue,
                                          &PortExtension::WriteCompletion,
                                          &PortExtension::WriteTotalTimer,
                                          &PortExtension::CompleteWriteDpc,
                                          CarriesWrite,
                                          WriteGrab,
                                          StartWrite,
                                          GetNextWrite};

void SendWriteBytes(PortExtension* port) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PendingCompletion& record = port->WriteCompletion;
    if (record.Side != DataSideReady || port->TxSending) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    if (record.AbortPending || ReadUCharAcquire(&port->Aborting) || !ReadUCharAcquire(&port->PortOpen)) {
      // No transfer may start while AbortAll stops them, nor after close.
      StopSending(port);
      IoReleaseCancelSpinLock(irql);
      return;
    }
    const UCHAR* bytes = port->WriteCurrentChar;
    ULONG length = port->WriteLength;
    record.Side = DataSideSending;
    port->TxCarries = CarriesWrite;
    port->TxChunkLength = length < MaxBulkTransfer ? length : MaxBulkTransfer;
    // A transfer the bus completes inside SendBulk only makes the write ready again; this loop
    // then sends the next one, so that a long write never nests completions.
    port->TxSending = TRUE;
    IoReleaseCancelSpinLock(irql);
    BOOLEAN handedDown;
    SendBulk(port, TransmitPipe, bytes, length, &handedDown);
    IoAcquireCancelSpinLock(&irql);
    port->TxSending = FALSE;
    PIRP transfer = nullptr;
    if (!handedDown) {
      port->TxCarries = CarriesNothing;
      StopSending(port);
    } else if (record.Side == DataSideSending && record.AbortPending) {
      // Asked to stop while the transfer was on its way to the bus, before a canceller could find it.
      transfer = TakeTransferForCancel(port, TransmitDirection);
    }
    IoReleaseCancelSpinLock(irql);
    CancelTakenTransfer(port, TransmitDirection, transfer);
  }
}

bool WriteTransferDone(PortExtension* port, bool accepted, ULONG sent) {
  port->WriteCurrentChar += sent;
  port->WriteLength -= sent;
  if (port->WriteCompletion.AbortPending || !accepted) {
    StopSending(port);
    return false;
  }
  if (!port->WriteLength) {
    port->EmptiedTransmit = TRUE;
    FinishWrite(port);
    return false;
  }
  port->WriteCompletion.Side = DataSideReady;
  return !port->TxSending;
}

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  return DispatchDataRequest(port, irp, WriteLengthOf(irp), &port->WriteQueue, &port->CurrentWriteIrp, StartWrite);
}

NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  irp->IoStatus.Information = 0;
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  return StartOrQueue(port, irp, &port->WriteQueue, &port->CurrentWriteIrp, StartFlush);
}

void NTAPI CompleteWriteRoutine(PKDPC, PVOID context, PVOID, PVOID) { TransmitCompletionDpc(context, WritePath); }
void NTAPI WriteTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) { TransmitTimeoutDpc(context, WritePath); }

}  // namespace quenta
