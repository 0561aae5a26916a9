// IOCTL_SERIAL_PURGE, served one at a time from the purge queue.
#pragma once

#include "port_extension.h"

namespace quenta {

// Starter of the purge queue: TXABORT cancels the writes (queued and current), RXABORT the reads
// (and queue-size changes), RXCLEAR empties the ring; TXCLEAR has nothing to empty, the driver
// keeping no transmit buffer. IRQL: <= DISPATCH_LEVEL.
NTSTATUS StartPurge(PortExtension* port);

}  // namespace quenta
