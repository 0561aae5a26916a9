// The wait mask. Locks: the cancel spin lock for the mask queue and CurrentWaitIrp; ReceiveLock
// (inside it) for WaitMask, HistoryMask and IrpMaskLocation, which the receive path shares.
#include "wait_mask.h"

#include "dpc_accounting.h"
#include "entry_irql.h"
#include "request_queues.h"
#include "serial_paths.h"

namespace quenta {

namespace {

constexpr ULONG_PTR MaskBytes = sizeof(ULONG);

// With ReceiveLock held and a wait armed: hands it mask and sends it to CommWaitDpc, which drops
// its data-side reference.
void ReportToWait(PortExtension* port, ULONG mask) {
  *port->IrpMaskLocation = mask;
  port->IrpMaskLocation = nullptr;
  port->CurrentWaitIrp->IoStatus.Information = MaskBytes;
  QueueDpc(port, &port->CommWaitDpc);
}

// Grab of the wait request, cancel spin lock held: a wait nothing was reported to ends with an
// empty mask, and its data side is taken back here. One a report already reached keeps the
// reference that its CommWaitDpc drops.
void WaitGrab(PortExtension* port) {
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (port->IrpMaskLocation) {
    *port->IrpMaskLocation = 0;
    port->IrpMaskLocation = nullptr;
    port->CurrentWaitIrp->IoStatus.Information = MaskBytes;
    ClearReference(port->CurrentWaitIrp, ReferenceDataSide);
  }
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
}

void NTAPI WaitCancel(PDEVICE_OBJECT device, PIRP irp) {
  AssertCancelEntry();
  TryCompleteCurrent(PortOf(device), WaitGrab, irp->CancelIrql, STATUS_CANCELLED, &PortOf(device)->CurrentWaitIrp,
                     nullptr, nullptr, nullptr, nullptr, nullptr, ReferenceCancelRoutine);
}

ULONG MaskIn(PIRP irp) {
  ULONG mask;
  RtlCopyMemory(&mask, irp->AssociatedIrp.SystemBuffer, sizeof mask);
  return mask;
}

// A pending wait is answered with an empty mask; events still wanted stay recorded.
NTSTATUS SetWaitMask(PortExtension* port, PIRP irp) {
  ULONG mask = MaskIn(irp);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (port->IrpMaskLocation) ReportToWait(port, 0);
  port->HistoryMask &= mask;
  port->WaitMask = mask;
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  IoReleaseCancelSpinLock(irql);
  return STATUS_SUCCESS;
}

// Becomes the wait request (and leaves the mask queue) unless refused. Events already
// recorded answer it at once; otherwise it is armed for the next report.
NTSTATUS WaitOnMask(PortExtension* port, PIRP irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  ULONG waitMask = port->WaitMask;
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  if (!waitMask || port->CurrentWaitIrp) {
    IoReleaseCancelSpinLock(irql);
    return STATUS_INVALID_PARAMETER;
  }
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  port->CurrentWaitIrp = irp;
  SetReferenceBits(irp, ReferenceDataSide | ReferenceCancelRoutine);
  IoSetCancelRoutine(irp, WaitCancel);
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  port->IrpMaskLocation = static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
  if (port->HistoryMask) {
    ReportToWait(port, port->HistoryMask);
    port->HistoryMask = 0;
  } else {
    port->EmptiedTransmit = FALSE;
  }
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS StartMask(PortExtension* port) {
  NTSTATUS first = STATUS_PENDING;
  for (bool isFirst = true;; isFirst = false) {
    PIRP irp = port->CurrentMaskIrp;
    bool wait =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK;
    NTSTATUS status = wait ? WaitOnMask(port, irp) : SetWaitMask(port, irp);
    if (isFirst) first = status;
    PIRP next;
    if (status == STATUS_PENDING) {
      // The wait lives in CurrentWaitIrp now; the queue goes on without completing it.
      GetNextRequest(port, &port->CurrentMaskIrp, &port->MaskQueue, &next, FALSE);
    } else {
      irp->IoStatus.Status = status;
      GetNextRequest(port, &port->CurrentMaskIrp, &port->MaskQueue, &next, TRUE);
    }
    if (!next) return first;
  }
}

void RaiseEvents(PortExtension* port, ULONG events) {
  events &= port->WaitMask;
  if (!events) return;
  port->HistoryMask |= events;
  if (port->IrpMaskLocation) {
    ReportToWait(port, port->HistoryMask);
    port->HistoryMask = 0;
  }
}

void NTAPI CommWaitRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  AssertDpcEntry();
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  TryCompleteCurrent(port, nullptr, irql, STATUS_SUCCESS, &port->CurrentWaitIrp, nullptr, nullptr, nullptr, nullptr,
                     nullptr, ReferenceDataSide);
  DpcEnd(port);
}

}  // namespace quenta
