// The request gate and the stall queue. Locks: FlagsLock (to read PnpFlags), the cancel spin
// lock (the stall queue).
#include "request_gate.h"

#include "entry_irql.h"

namespace quenta {

namespace {

ULONG ReadPnpFlags(PortExtension* port) {
  KIRQL irql;
  KeAcquireSpinLock(&port->FlagsLock, &irql);
  ULONG flags = port->PnpFlags;
  KeReleaseSpinLock(&port->FlagsLock, irql);
  return flags;
}

// Cancel routine of a stalled request. Entered with the cancel spin lock held; releases it.
void NTAPI StallCancel(PDEVICE_OBJECT, PIRP irp) {
  AssertCancelEntry();
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

NTSTATUS StallRequest(PortExtension* port, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_PENDING;
  InsertTailList(&port->StallQueue, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, StallCancel);
  IoReleaseCancelSpinLock(irql);
  // A stalled request holds no count: a stop waits for the count to drain while the request
  // waits for the restart. It is counted again when it is dispatched anew.
  ReleasePendingRequest(port);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS RequestGate(PortExtension* port, PIRP irp) {
  InterlockedIncrement(&port->PendingRequestCount);
  ULONG flags = ReadPnpFlags(port);
  if (!flags) return STATUS_SUCCESS;
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (flags & (PnpRemovePending | PnpSurpriseRemoved)) {
    if (major == IRP_MJ_PNP) return STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    irp->IoStatus.Information = 0;
    return STATUS_DELETE_PENDING;
  }
  if (flags & (PnpStopPending | PnpPoweredDown)) {
    if (major == IRP_MJ_PNP) return STATUS_SUCCESS;
    if (major == IRP_MJ_POWER && (flags & PnpPoweredDown)) return STATUS_SUCCESS;
    return StallRequest(port, irp);
  }
  return STATUS_SUCCESS;
}

void ReleasePendingRequest(PortExtension* port) {
  if (InterlockedDecrement(&port->PendingRequestCount) == 0)
    KeSetEvent(&port->PendingRequestsDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS FinishRequest(PortExtension* port, PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
  ReleasePendingRequest(port);
  return status;
}

void DrainPendingRequests(PortExtension* port) {
  ReleasePendingRequest(port);  // the plug-and-play request itself
  if (InterlockedDecrement(&port->PendingRequestCount) != 0)
    KeWaitForSingleObject(&port->PendingRequestsDone, Executive, KernelMode, FALSE, nullptr);
}

void AddErrorBits(PortExtension* port, ULONG bits) {
  volatile LONG* word = reinterpret_cast<volatile LONG*>(&port->ErrorWord);
  for (;;) {
    LONG old = ReadLongAcquire(word);
    if (InterlockedCompareExchange(word, LONG(ULONG(old) | bits), old) == old) return;
  }
}

BOOLEAN PassSerialGate(PortExtension* port, PIRP irp, NTSTATUS* result) {
  NTSTATUS gate = RequestGate(port, irp);
  if (gate == STATUS_PENDING) {
    *result = STATUS_PENDING;
    return FALSE;
  }
  if (gate != STATUS_SUCCESS) {
    *result = FinishRequest(port, irp, gate);
    return FALSE;
  }
  // The device-error latch: only the status query, which clears it, gets through.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool latched = (ULONG(ReadLongAcquire(reinterpret_cast<volatile LONG*>(&port->ErrorWord))) & DeviceErrorLatch) != 0;
  bool statusQuery = stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                     stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS;
  if (latched && !statusQuery) {
    *result = FinishRequest(port, irp, STATUS_CANCELLED);
    return FALSE;
  }
  return TRUE;
}

void ReleaseStalledRequests(PortExtension* port) {
  // Take the whole queue first: a request that stalls again goes back to the queue and is not
  // taken a second time here.
  LIST_ENTRY released;
  InitializeListHead(&released);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(&port->StallQueue)) {
    PLIST_ENTRY entry = RemoveHeadList(&port->StallQueue);
    IoSetCancelRoutine(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), nullptr);
    InsertTailList(&released, entry);
  }
  IoReleaseCancelSpinLock(irql);
  while (!IsListEmpty(&released)) {
    PLIST_ENTRY entry = RemoveHeadList(&released);
    InitializeListHead(entry);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    port->DriverObject->MajorFunction[major](port->DeviceObject, irp);
  }
}

void KillStalledRequests(PortExtension* port) {
  for (;;) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(&port->StallQueue)) {
      IoReleaseCancelSpinLock(irql);
      return;
    }
    PLIST_ENTRY entry = RemoveTailList(&port->StallQueue);
    InitializeListHead(entry);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, nullptr);
    irp->Cancel = TRUE;
    irp->CancelIrql = irql;
    StallCancel(port->DeviceObject, irp);
  }
}

}  // namespace quenta
