// The wait-mask machinery: SET_WAIT_MASK and WAIT_ON_MASK served one at a time from the mask
// queue, the events the driver raises (SERIAL_EV_RXCHAR, RXFLAG, RX80FULL from the receive
// path, SERIAL_EV_TXEMPTY from the transmit side) collected in HistoryMask, and the one wait
// request they are reported to.
#pragma once

#include "port_extension.h"

namespace quenta {

// Starter of the mask queue (see request_queues.h). IRQL: <= DISPATCH_LEVEL.
NTSTATUS StartMask(PortExtension* port);

// With ReceiveLock held: adds the events the wait mask asks for to HistoryMask and reports
// them to the armed wait request, if there is one.
void RaiseEvents(PortExtension* port, ULONG events);

}  // namespace quenta
