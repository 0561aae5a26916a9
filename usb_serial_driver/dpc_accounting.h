// Accounting of DPCs and timers in PendingDpcCount, so that close can wait until every DPC it
// may have caused has run. Every queued DPC and armed timer holds one count; the last step of
// every DPC routine is DpcEnd. IRQL: <= DISPATCH_LEVEL.
#pragma once

#include "port_extension.h"

namespace quenta {

void QueueDpc(PortExtension* port, PKDPC dpc);
void ArmTimer(PortExtension* port, PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc);
// TRUE when the timer was still armed: its DPC will not run, and its count is given back.
BOOLEAN CancelTimer(PortExtension* port, PKTIMER timer);
// TRUE when the DPC was still queued: it will not run, and its count is given back.
BOOLEAN RemoveQueuedDpc(PortExtension* port, PKDPC dpc);
void DpcEnd(PortExtension* port);

// Close: gives up the port's own count and waits until every DPC has ended; the
// caller gives the count back afterwards. IRQL: PASSIVE_LEVEL or APC_LEVEL.
void WaitForDpcs(PortExtension* port);

}  // namespace quenta
