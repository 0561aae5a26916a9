// RequestGate, the entry check every dispatch routine runs first, with the pending-request
// count that lets stop and removal wait for the requests inside the driver, and the queue of
// requests stalled while a stop is pending or the device is powered down.
#pragma once

#include "port_extension.h"

namespace quenta {

// Counts the request in, then: STATUS_SUCCESS (go on); STATUS_PENDING (stalled: return
// STATUS_PENDING at once and touch the request no more); or an error already stored in the
// request, which the caller completes with FinishRequest. IRQL: PASSIVE_LEVEL.
NTSTATUS RequestGate(PortExtension* port, PIRP irp);

// Completes a request with the serial priority boost and counts it out. Returns status.
NTSTATUS FinishRequest(PortExtension* port, PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// Counts a request out; the last one out while the device drains signals PendingRequestsDone.
// IRQL: <= DISPATCH_LEVEL.
void ReleasePendingRequest(PortExtension* port);

// Stop, removal and surprise removal: counts out the plug-and-play request and the initial
// count, and waits until every other request has left the driver. IRQL: PASSIVE_LEVEL.
void DrainPendingRequests(PortExtension* port);

// For the serial requests (read, write, flush, both device controls): the gate, then the
// device-error latch. FALSE means the request was stalled or finished; return *result.
BOOLEAN PassSerialGate(PortExtension* port, PIRP irp, NTSTATUS* result);

// Sets bits of ErrorWord (SERIAL_ERROR_*, DeviceErrorLatch). IRQL: any up to DISPATCH_LEVEL.
void AddErrorBits(PortExtension* port, ULONG bits);

// When the device restarts or powers up again: dispatches the stalled requests anew, in the
// order they arrived. IRQL: PASSIVE_LEVEL.
void ReleaseStalledRequests(PortExtension* port);

// Cancels every stalled request, newest first (AbortAll). IRQL: PASSIVE_LEVEL.
void KillStalledRequests(PortExtension* port);

}  // namespace quenta
