// Request queues and completion. Lock: the cancel spin lock.
#include "request_queues.h"

#include "dpc_accounting.h"
#include "entry_irql.h"
#include "request_gate.h"

namespace quenta {

namespace {

bool IsWrite(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_WRITE; }

void FreeCarriedRingBuffer(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
      stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_SET_QUEUE_SIZE)
    return;
  if (CarriedRingBuffer(irp)) ExFreePool(CarriedRingBuffer(irp));
  CarriedRingBuffer(irp) = nullptr;
}

// Cancel routine of a queued request. Entered with the cancel spin lock held; releases it.
void NTAPI QueuedRequestCancel(PDEVICE_OBJECT device, PIRP irp) {
  AssertCancelEntry();
  PortExtension* port = PortOf(device);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  if (IsWrite(irp)) port->TotalCharsQueued -= LONG(WriteLengthOf(irp));
  IoReleaseCancelSpinLock(irp->CancelIrql);
  FreeCarriedRingBuffer(irp);
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleasePendingRequest(port);
}

}  // namespace

NTSTATUS DispatchDataRequest(PortExtension* port, PIRP irp, ULONG length, PLIST_ENTRY queue, PIRP* current,
                             RequestStarter starter) {
  NTSTATUS result;
  if (!PassSerialGate(port, irp, &result)) return result;
  irp->IoStatus.Information = 0;
  if (!ReadUCharAcquire(&port->PortOpen)) return FinishRequest(port, irp, STATUS_INVALID_DEVICE_REQUEST);
  if (!length) return FinishRequest(port, irp, STATUS_SUCCESS);
  return StartOrQueue(port, irp, queue, current, starter);
}

NTSTATUS StartOrQueue(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* current, RequestStarter starter) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (IsWrite(irp)) port->TotalCharsQueued += LONG(WriteLengthOf(irp));
  if (IsListEmpty(queue) && !*current) {
    *current = irp;
    IoReleaseCancelSpinLock(irql);
    return starter(port);
  }
  if (irp->Cancel) {
    if (IsWrite(irp)) port->TotalCharsQueued -= LONG(WriteLengthOf(irp));  // it never joined the queue
    IoReleaseCancelSpinLock(irql);
    FreeCarriedRingBuffer(irp);
    return FinishRequest(port, irp, STATUS_CANCELLED);
  }
  irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(irp);
  InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, QueuedRequestCancel);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void GetNextRequest(PortExtension* port, PIRP* current, PLIST_ENTRY queue, PIRP* next, BOOLEAN completeCurrent) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old = *current;
  if (IsListEmpty(queue)) {
    *current = nullptr;
  } else {
    PLIST_ENTRY entry = RemoveHeadList(queue);
    InitializeListHead(entry);
    *current = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(*current, nullptr);
  }
  *next = *current;
  IoReleaseCancelSpinLock(irql);
  if (completeCurrent && old) {
    IoCompleteRequest(old, IO_SERIAL_INCREMENT);
    ReleasePendingRequest(port);
  }
}

void TryCompleteCurrent(PortExtension* port, GrabRoutine grab, KIRQL savedIrql, NTSTATUS status, PIRP* current,
                        PLIST_ENTRY queue, PKTIMER intervalTimer, PKTIMER totalTimer, RequestStarter starter,
                        NextRequestRoutine getNext, ULONG referenceBit) {
  PIRP irp = *current;
  ClearReference(irp, referenceBit);
  if (grab) grab(port);
  if (IoSetCancelRoutine(irp, nullptr)) ClearReference(irp, ReferenceCancelRoutine);
  if (intervalTimer && CancelTimer(port, intervalTimer)) ClearReference(irp, ReferenceIntervalTimer);
  if (totalTimer && CancelTimer(port, totalTimer)) ClearReference(irp, ReferenceTotalTimer);
  if (ReferenceBits(irp)) {
    IoReleaseCancelSpinLock(savedIrql);  // the last holder calls again
    return;
  }
  irp->IoStatus.Status = status;
  if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
  if (getNext) {
    IoReleaseCancelSpinLock(savedIrql);
    PIRP next;
    getNext(port, current, queue, &next, TRUE);
    if (next) starter(port);
    return;
  }
  *current = nullptr;
  IoReleaseCancelSpinLock(savedIrql);
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleasePendingRequest(port);
}

void KillAll(PortExtension* port, PLIST_ENTRY queue, PIRP* current) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!IsListEmpty(queue)) {
      PLIST_ENTRY entry = RemoveTailList(queue);
      InitializeListHead(entry);
      PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
      irp->Cancel = TRUE;
      irp->CancelIrql = irql;
      routine(port->DeviceObject, irp);  // completes the request and releases the lock
      continue;
    }
    if (*current) {
      PIRP irp = *current;
      irp->Cancel = TRUE;
      PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
      if (routine) {
        irp->CancelIrql = irql;
        routine(port->DeviceObject, irp);  // finishes it through TryCompleteCurrent
        return;
      }
    }
    IoReleaseCancelSpinLock(irql);
    return;
  }
}

}  // namespace quenta
