// RxRing: the receive ring the bulk-IN data goes into while no read waits for it, allocated at
// open by the size of the system and freed at close.
#pragma once

#include "port_extension.h"

namespace quenta {

// 128 bytes on a small system, 1024 (else 128) on a medium one, 4096 (else 1024, else 128) on
// a large one. IRQL: <= DISPATCH_LEVEL.
NTSTATUS AllocateReceiveRing(PortExtension* port);
// An empty ring at the start of its buffer, with the flow-control limits and the high-water
// mark that follow from its size.
void ResetRingGeometry(PortExtension* port);
// IRQL: <= DISPATCH_LEVEL; takes ReceiveLock.
void FreeReceiveRing(PortExtension* port);

// Stores received bytes, called by the bulk-IN completion with ReceiveLock held.
void DeliverReceived(PortExtension* port, const UCHAR* bytes, ULONG count);

// Keeps one bulk-IN transfer in flight while the port is open, unless AbortAll is stopping
// the transfers. IRQL: <= DISPATCH_LEVEL.
NTSTATUS RestartReceive(PortExtension* port);

}  // namespace quenta
