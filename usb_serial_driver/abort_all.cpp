#include "abort_all.h"

#include "power.h"
#include "request_gate.h"
#include "request_queues.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

// FALSE when the bus did not bring both transfers back within DeviceIdleTimeout.
bool WaitForTransfers(PortExtension* port) {
  PVOID idle[2] = {&port->RxIdleEvent, &port->TxIdleEvent};
  LARGE_INTEGER timeout;
  timeout.QuadPart = DeviceIdleTimeout;
  if (KeWaitForMultipleObjects(2, idle, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr) != STATUS_TIMEOUT)
    return true;
  DbgPrint("Waiting usb rx,tx event timeout !!!\n");
  return false;
}

bool StopBulkTransfers(PortExtension* port) {
  CancelTransfer(port, TransmitDirection);
  CancelTransfer(port, ReceiveDirection);
  return WaitForTransfers(port);
}

// The current request of a kind that has no queue (the wait, the immediate character) is
// cancelled through its own cancel routine.
void CancelCurrentRequest(PortExtension* port, PIRP* current) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = *current;
  if (irp) {
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine) {
      irp->CancelIrql = irql;
      routine(port->DeviceObject, irp);  // releases the cancel spin lock
      return;
    }
  }
  IoReleaseCancelSpinLock(irql);
}

}  // namespace

void AbortAll(PortExtension* port, BOOLEAN force) {
  bool stopTransfers = force || !ReadUCharAcquire(&port->PortOpen);
  bool busAnswers = true;
  if (stopTransfers) {
    // While set, a cancelled receive is not restarted and no write starts a transfer, so the
    // wait below can end and no transfer outlives the abort.
    WriteUCharRelease(&port->Aborting, TRUE);
    busAnswers = StopBulkTransfers(port);
  }
  KillAll(port, &port->WriteQueue, &port->CurrentWriteIrp);
  KillAll(port, &port->ReadQueue, &port->CurrentReadIrp);
  KillAll(port, &port->PurgeQueue, &port->CurrentPurgeIrp);
  KillAll(port, &port->MaskQueue, &port->CurrentMaskIrp);
  CancelCurrentRequest(port, &port->CurrentWaitIrp);
  CancelCurrentRequest(port, &port->CurrentImmediateIrp);
  CancelWaitWake(port);
  KillStalledRequests(port);
  if (stopTransfers) {
    // A write cancelled above may have had a transfer on its way to the bus while they were
    // stopped: it is cancelled by then, and waited for, before the blocks may go. A bus that
    // left the first wait unanswered is not waited for twice.
    if (busAnswers) WaitForTransfers(port);
    WriteUCharRelease(&port->Aborting, FALSE);
  }
}

}  // namespace quenta
