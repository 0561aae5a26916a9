// AbortAll: stops all traffic of a port (cleanup, close, removal, surprise removal, a failed
// restart).
#pragma once

#include "port_extension.h"

namespace quenta {

// With force, or once the port is closed, both bulk transfers are cancelled and waited for
// (5 seconds at most); then every queued and current request is cancelled, the pending wait
// and wait-wake requests too, and the stalled requests. IRQL: PASSIVE_LEVEL.
void AbortAll(PortExtension* port, BOOLEAN force);

}  // namespace quenta
