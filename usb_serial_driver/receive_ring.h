// RxRing: the receive ring the bulk-IN data goes into while no read waits for it, allocated at
// open by the size of the system, grown by a queue-size request, freed at close. While a read
// waits, the bytes go straight into its buffer instead (direct mode).
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

// Bytes from a bulk-IN transfer, called by its completion with ReceiveLock held: XON and XOFF
// consumed under SERIAL_AUTO_TRANSMIT, the receive events raised, the data stored.
void DeliverReceived(PortExtension* port, const UCHAR* bytes, ULONG count);

// With ReceiveLock held. Moves as many ring bytes into the read as it still needs (across the
// ring's wrap), lowering CharsInRing and NumberNeededForRead and raising the read's
// information; returns how many.
ULONG CopyFromRing(PortExtension* port, PIRP read);
// Direct mode: received bytes go into the read's own buffer after what it already holds.
void FillReadDirectly(PortExtension* port, PIRP read);
// Ring mode again, with an empty ring (a direct fill always starts from one).
void FillRing(PortExtension* port);
inline BOOLEAN FillingReadDirectly(const PortExtension* port) { return port->FillBase != port->RingBase; }

// The queue-size request as the current request of the read queue: moves the unread bytes into
// the larger buffer it carries, or frees that buffer when the ring is already as large. Takes
// ControlLock, then ReceiveLock. IRQL: <= DISPATCH_LEVEL.
void ResizeRing(PortExtension* port, PIRP request);
// Empties the ring (not a read's buffer in direct mode). Takes ControlLock, then ReceiveLock.
void PurgeReceive(PortExtension* port);

// Keeps one bulk-IN transfer in flight while the port is open, unless AbortAll is stopping
// the transfers. IRQL: <= DISPATCH_LEVEL.
NTSTATUS RestartReceive(PortExtension* port);

}  // namespace quenta
