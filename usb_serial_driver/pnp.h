// Plug and play: start, the query/cancel handshakes that hold requests back while a stop or a
// removal is pending, stop, removal and surprise removal.
#pragma once

#include "port_extension.h"

namespace quenta {

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT device, PIRP irp);

}  // namespace quenta
