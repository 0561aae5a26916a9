// The read path's entry points besides its dispatch routine and DPCs (serial_paths.h).
#pragma once

#include "port_extension.h"

namespace quenta {

// A queue-size request that carries its new ring buffer joins the read queue; the ring grows
// when it becomes current, between two reads. Returns the dispatch routine's result.
// IRQL: PASSIVE_LEVEL.
NTSTATUS QueueSizeChange(PortExtension* port, PIRP irp);

}  // namespace quenta
