#include "abort_all.h"

#include "power.h"
#include "request_gate.h"
#include "request_queues.h"
#include "usb_transfers.h"

namespace quenta {

namespace {

void StopBulkTransfers(PortExtension* port) {
  CancelTransfer(port, TransmitDirection);
  CancelTransfer(port, ReceiveDirection);
  PVOID idle[2] = {&port->RxIdleEvent, &port->TxIdleEvent};
  LARGE_INTEGER timeout;
  timeout.QuadPart = DeviceIdleTimeout;
  if (KeWaitForMultipleObjects(2, idle, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr) == STATUS_TIMEOUT)
    DbgPrint("Waiting usb rx,tx event timeout !!!\n");
}

void CancelCurrentWait(PortExtension* port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = port->CurrentWaitIrp;
  if (wait) {
    wait->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(wait, nullptr);
    if (routine) {
      wait->CancelIrql = irql;
      routine(port->DeviceObject, wait);  // releases the cancel spin lock
      return;
    }
  }
  IoReleaseCancelSpinLock(irql);
}

}  // namespace

void AbortAll(PortExtension* port, BOOLEAN force) {
  bool stopTransfers = force || !ReadUCharAcquire(&port->PortOpen);
  if (stopTransfers) {
    // While set, a cancelled receive is not restarted, so the wait below can end and no
    // transfer outlives the abort.
    WriteUCharRelease(&port->Aborting, TRUE);
    StopBulkTransfers(port);
  }
  KillAll(port, &port->WriteQueue, &port->CurrentWriteIrp);
  KillAll(port, &port->ReadQueue, &port->CurrentReadIrp);
  KillAll(port, &port->PurgeQueue, &port->CurrentPurgeIrp);
  KillAll(port, &port->MaskQueue, &port->CurrentMaskIrp);
  CancelCurrentWait(port);
  CancelWaitWake(port);
  KillStalledRequests(port);
  if (stopTransfers) WriteUCharRelease(&port->Aborting, FALSE);
}

}  // namespace quenta
