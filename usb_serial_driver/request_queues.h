// The request queues: reads, writes (with flushes), wait-mask requests and purges are each
// served one at a time, the later ones waiting first in first out. A current request can be
// finished from several places at once (its transfer, its timers, its cancel routine, a purge);
// ReferenceBits says who still holds it, and TryCompleteCurrent completes it exactly once,
// when the last holder lets go. Every queue and current-pointer change happens under the
// cancel spin lock; requests are completed outside it.
#pragma once

#include "port_extension.h"

namespace quenta {

// ReferenceBits, kept with each current request in its stack location's fourth argument.
constexpr ULONG ReferenceDataSide = 0x1;  // a transfer or the receive path fills or drains it
constexpr ULONG ReferenceCancelRoutine = 0x2;
constexpr ULONG ReferenceTotalTimer = 0x4;
constexpr ULONG ReferenceIntervalTimer = 0x8;

inline ULONG ReferenceBits(PIRP irp) {
  return ULONG(reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4));
}
inline void SetReferenceBits(PIRP irp, ULONG bits) {
  IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(ULONG_PTR(bits));
}
inline void SetReference(PIRP irp, ULONG bit) { SetReferenceBits(irp, ReferenceBits(irp) | bit); }
inline void ClearReference(PIRP irp, ULONG bit) { SetReferenceBits(irp, ReferenceBits(irp) & ~bit); }

// A set-queue-size request carries the new ring buffer in the driver's context slot of the IRP.
inline PVOID& CarriedRingBuffer(PIRP irp) { return irp->Tail.Overlay.DriverContext[0]; }

// Serves the request that has just become current; returns the status of the first request.
typedef NTSTATUS (*RequestStarter)(PortExtension* port);
typedef void (*NextRequestRoutine)(PortExtension* port, PIRP* current, PLIST_ENTRY queue, PIRP* next,
                                   BOOLEAN completeCurrent);

// The data length of a write request.
inline ULONG WriteLengthOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

// A read or a write from the I/O manager, LENGTH its data length: past the serial gate, refused
// while the port is not open (its ring and transfer blocks exist only while it is), an empty one
// completed at once, else started or queued as StartOrQueue does.
// IRQL: PASSIVE_LEVEL (dispatch).
NTSTATUS DispatchDataRequest(PortExtension* port, PIRP irp, ULONG length, PLIST_ENTRY queue, PIRP* current,
                             RequestStarter starter);

// Makes the request current and starts it when nothing is ahead of it, else queues it
// (STATUS_PENDING), or completes it when it was already cancelled (STATUS_CANCELLED).
// IRQL: <= DISPATCH_LEVEL; the starter runs in the caller's context.
NTSTATUS StartOrQueue(PortExtension* port, PIRP irp, PLIST_ENTRY queue, PIRP* current, RequestStarter starter);

// Makes the head of the queue current (or none), and completes the old current request when
// asked. IRQL: <= DISPATCH_LEVEL.
void GetNextRequest(PortExtension* port, PIRP* current, PLIST_ENTRY queue, PIRP* next, BOOLEAN completeCurrent);

// Drops referenceBit, runs grab, takes back the cancel routine and the timers, and completes
// the current request if nobody holds it any more. Called with the cancel spin lock held
// (savedIrql is what to release it to); always releases it.
void TryCompleteCurrent(PortExtension* port, GrabRoutine grab, KIRQL savedIrql, NTSTATUS status, PIRP* current,
                        PLIST_ENTRY queue, PKTIMER intervalTimer, PKTIMER totalTimer, RequestStarter starter,
                        NextRequestRoutine getNext, ULONG referenceBit);

// Cancels the queued requests, newest first, then the current one through its own cancel
// routine. IRQL: <= DISPATCH_LEVEL.
void KillAll(PortExtension* port, PLIST_ENTRY queue, PIRP* current);

}  // namespace quenta
