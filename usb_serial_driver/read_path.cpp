// The read path: reads served one at a time from the read queue under the port's time-outs,
// from the ring when it holds enough, else by filling the read's own buffer directly as bytes
// arrive. The read queue also carries the queue-size request. A waiting read is finished by
// whichever comes last of its filling, its cancel and its timers, through ReferenceBits.
// Locks: ControlLock, then the cancel spin lock, then ReceiveLock.
#include "read_path.h"

#include "dpc_accounting.h"
#include "entry_irql.h"
#include "receive_ring.h"
#include "request_gate.h"
#include "request_queues.h"
#include "serial_paths.h"
#include "serial_timeouts.h"

namespace quenta {

namespace {

// CountOnLastRead while a read waits is the bytes counted at the interval timer's last look;
// these say instead who has finished the read.
constexpr LONG ReadCancelled = -1;
constexpr LONG ReadTotalTimedOut = -2;
constexpr LONG ReadFilled = -3;

NTSTATUS StartRead(PortExtension* port);

// Grab of the read, cancel spin lock held: a read still being filled directly takes the bytes
// stored so far, and the receive path goes back to the ring.
void ReadGrab(PortExtension* port) {
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  if (FillingReadDirectly(port)) {
    PIRP read = port->CurrentReadIrp;
    read->IoStatus.Information =
        ULONG_PTR(port->CurrentCharSlot - static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer));
    FillRing(port);
    ClearReference(read, ReferenceDataSide);
  }
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
}

void FinishCurrentRead(PortExtension* port, KIRQL irql, NTSTATUS status, ULONG referenceBit) {
  TryCompleteCurrent(port, ReadGrab, irql, status, &port->CurrentReadIrp, &port->ReadQueue, &port->ReadIntervalTimer,
                     &port->ReadTotalTimer, StartRead, GetNextRequest, referenceBit);
}

// The body of the completion and total time-out DPCs: says who finished the read, for an interval
// timer that may still hold it, and drops the holder's bit.
void FinishReadFromDpc(PVOID context, LONG finishedBy, NTSTATUS status, ULONG referenceBit) {
  AssertDpcEntry();
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port->CountOnLastRead = finishedBy;
  FinishCurrentRead(port, irql, status, referenceBit);
  DpcEnd(port);
}

void NTAPI ReadCancel(PDEVICE_OBJECT device, PIRP irp) {
  AssertCancelEntry();
  PortExtension* port = PortOf(device);
  port->CountOnLastRead = ReadCancelled;
  FinishCurrentRead(port, irp->CancelIrql, STATUS_CANCELLED, ReferenceCancelRoutine);
}

void ArmIntervalTimer(PortExtension* port) {
  ArmTimer(port, &port->ReadIntervalTimer, *port->IntervalTimeToUse, &port->IntervalReadTimeoutDpc);
}

// Serves one read: STATUS_PENDING when it waits (marked pending, its timers armed), else its
// final status with its information set.
NTSTATUS ServeRead(PortExtension* port, PIRP read) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(read);
  KIRQL irql;
  KeAcquireSpinLock(&port->ControlLock, &irql);
  ReadTimeoutPlan plan = PlanRead(port->Timeouts, stack->Parameters.Read.Length);
  KIRQL ignored;
  IoAcquireCancelSpinLock(&ignored);
  // Checked before any byte leaves the ring, so that a cancelled read takes none with it.
  if (read->Cancel) {
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeReleaseSpinLock(&port->ControlLock, irql);
    return STATUS_CANCELLED;
  }
  KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
  port->NumberNeededForRead = stack->Parameters.Read.Length;
  ULONG copied = CopyFromRing(port, read);
  if (plan.ReturnAtOnce || !port->NumberNeededForRead || (plan.ReturnWhenAny && copied)) {
    KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    KeReleaseSpinLock(&port->ControlLock, irql);
    return STATUS_SUCCESS;
  }
  if (plan.CutToOneByte) port->NumberNeededForRead = stack->Parameters.Read.Length = 1;
  FillReadDirectly(port, read);
  port->CountOnLastRead = LONG(read->IoStatus.Information);
  KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
  SetReferenceBits(read, ReferenceDataSide | ReferenceCancelRoutine);
  IoSetCancelRoutine(read, ReadCancel);
  if (plan.UseTotalTimer) {
    SetReference(read, ReferenceTotalTimer);
    ArmTimer(port, &port->ReadTotalTimer, plan.Total, &port->TotalReadTimeoutDpc);
  }
  if (plan.UseIntervalTimer) {
    SetReference(read, ReferenceIntervalTimer);
    port->IntervalTime = plan.Interval;
    port->IntervalTimeToUse =
        plan.Interval.QuadPart < port->CutOverAmount.QuadPart ? &port->ShortIntervalAmount : &port->LongIntervalAmount;
    KeQuerySystemTime(&port->LastReadTime);
    ArmIntervalTimer(port);
  }
  IoMarkIrpPending(read);
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  KeReleaseSpinLock(&port->ControlLock, irql);
  return STATUS_PENDING;
}

// Starter of the read queue: serves the current request and the ones after it until one waits.
NTSTATUS StartRead(PortExtension* port) {
  NTSTATUS first = STATUS_PENDING;
  for (bool isFirst = true;; isFirst = false) {
    PIRP irp = port->CurrentReadIrp;
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) {
      status = ServeRead(port, irp);
    } else {
      ResizeRing(port, irp);
      status = STATUS_SUCCESS;
    }
    if (isFirst) first = status;
    if (status == STATUS_PENDING) return first;
    irp->IoStatus.Status = status;
    if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
    PIRP next;
    GetNextRequest(port, &port->CurrentReadIrp, &port->ReadQueue, &next, TRUE);
    if (!next) return first;
  }
}

}  // namespace

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT device, PIRP irp) {
  AssertDispatchEntry();
  PortExtension* port = PortOf(device);
  return DispatchDataRequest(port, irp, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, &port->ReadQueue,
                             &port->CurrentReadIrp, StartRead);
}

NTSTATUS QueueSizeChange(PortExtension* port, PIRP irp) {
  return StartOrQueue(port, irp, &port->ReadQueue, &port->CurrentReadIrp, StartRead);
}

// The read was filled in direct mode.
void NTAPI CompleteReadRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  FinishReadFromDpc(context, ReadFilled, STATUS_SUCCESS, ReferenceDataSide);
}

void NTAPI TotalReadTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  FinishReadFromDpc(context, ReadTotalTimedOut, STATUS_TIMEOUT, ReferenceTotalTimer);
}

// The interval timer looks at the read once per interval amount: it finishes a read another
// party has already finished, counts the bytes that came since its last look, and times the
// read out once a gap of at least the interval follows its first byte.
void NTAPI IntervalReadTimeoutRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  AssertDpcEntry();
  auto port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  switch (port->CountOnLastRead) {
    case ReadTotalTimedOut:
      FinishCurrentRead(port, irql, STATUS_TIMEOUT, ReferenceIntervalTimer);
      break;
    case ReadFilled:
      FinishCurrentRead(port, irql, STATUS_SUCCESS, ReferenceIntervalTimer);
      break;
    case ReadCancelled:
      FinishCurrentRead(port, irql, STATUS_CANCELLED, ReferenceIntervalTimer);
      break;
    default: {
      KeAcquireSpinLockAtDpcLevel(&port->ReceiveLock);
      ULONG arrived = port->ReadByDirectFill;
      port->ReadByDirectFill = 0;
      KeReleaseSpinLockFromDpcLevel(&port->ReceiveLock);
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
      if (arrived) {
        port->CountOnLastRead = LONG(arrived);
        port->LastReadTime = now;
      } else if (port->CountOnLastRead && now.QuadPart - port->LastReadTime.QuadPart >= port->IntervalTime.QuadPart) {
        FinishCurrentRead(port, irql, STATUS_TIMEOUT, ReferenceIntervalTimer);
        break;
      }
      // No byte yet (the interval counts from the first one), or the gap is still short.
      ArmIntervalTimer(port);
      IoReleaseCancelSpinLock(irql);
      break;
    }
  }
  DpcEnd(port);
}

}  // namespace quenta
