#include "purge.h"

#include "receive_ring.h"
#include "request_queues.h"

namespace quenta {

NTSTATUS StartPurge(PortExtension* port) {
  for (;;) {
    PIRP irp = port->CurrentPurgeIrp;
    ULONG mask;
    RtlCopyMemory(&mask, irp->AssociatedIrp.SystemBuffer, sizeof mask);
    if (mask & SERIAL_PURGE_TXABORT) KillAll(port, &port->WriteQueue, &port->CurrentWriteIrp);
    if (mask & SERIAL_PURGE_RXABORT) KillAll(port, &port->ReadQueue, &port->CurrentReadIrp);
    if (mask & SERIAL_PURGE_RXCLEAR) PurgeReceive(port);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIRP next;
    GetNextRequest(port, &port->CurrentPurgeIrp, &port->PurgeQueue, &next, TRUE);
    if (!next) return STATUS_SUCCESS;
  }
}

}  // namespace quenta
