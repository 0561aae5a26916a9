// The immediate character (IOCTL_SERIAL_IMMEDIATE_CHAR): one byte sent through the bulk-OUT pipe
// outside the write queue, one such request at a time.
#pragma once

#include "port_extension.h"

namespace quenta {

// The device-control dispatcher's part: refused while another immediate character is current,
// else it becomes current and is sent. Returns the dispatch routine's result. IRQL: PASSIVE_LEVEL.
NTSTATUS SendImmediateChar(PortExtension* port, PIRP irp);

}  // namespace quenta
