// Sending a request to the lower driver and waiting for it to come back.
#pragma once

#include "port_extension.h"

namespace quenta {

// Completion routine that signals the event in context and keeps the request
// (STATUS_MORE_PROCESSING_REQUIRED). IRQL: <= DISPATCH_LEVEL.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Passes the request in the current stack location down (PoCallDriver for power requests) and
// waits on event until the lower drivers have completed it; the request is the caller's again.
// Returns its status. IRQL: PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PortExtension* port, PIRP irp, PKEVENT event);

}  // namespace quenta
