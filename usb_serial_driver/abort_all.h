// AbortAll: stops all traffic of a port (cleanup, close, removal, surprise removal, a failed
// restart).
#pragma once

#include "port_extension.h"

namespace quenta {

// With force, or once the port is closed, both bulk transfers are cancelled and waited for
// (5 seconds at most); then every queued and current request is cancelled, the pending wait,
// the immediate character and the wait-wake request too, and the stalled requests; with the
// transfers stopped, they are waited for once more at the end. IRQL: PASSIVE_LEVEL.
void AbortAll(PortExtension* port, BOOLEAN force);

}  // namespace quenta
