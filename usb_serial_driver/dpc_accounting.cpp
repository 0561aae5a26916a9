#include "dpc_accounting.h"

namespace quenta {

void QueueDpc(PortExtension* port, PKDPC dpc) {
  InterlockedIncrement(&port->PendingDpcCount);
  if (!KeInsertQueueDpc(dpc, nullptr, nullptr)) DpcEnd(port);  // already queued: it holds a count
}

void ArmTimer(PortExtension* port, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
  InterlockedIncrement(&port->PendingDpcCount);
  if (KeSetTimer(timer, dueTime, dpc)) DpcEnd(port);  // it was armed: the old arming holds a count
}

BOOLEAN CancelTimer(PortExtension* port, PKTIMER timer) {
  if (!KeCancelTimer(timer)) return FALSE;
  DpcEnd(port);
  return TRUE;
}

BOOLEAN RemoveQueuedDpc(PortExtension* port, PKDPC dpc) {
  if (!KeRemoveQueueDpc(dpc)) return FALSE;
  DpcEnd(port);
  return TRUE;
}

void DpcEnd(PortExtension* port) {
  if (InterlockedDecrement(&port->PendingDpcCount) == 0) KeSetEvent(&port->PendingDpcsDone, IO_NO_INCREMENT, FALSE);
}

void WaitForDpcs(PortExtension* port) {
  if (InterlockedDecrement(&port->PendingDpcCount) != 0)
    KeWaitForSingleObject(&port->PendingDpcsDone, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace quenta
