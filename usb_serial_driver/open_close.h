// Open, close and cleanup of the port. One open at a time.
#pragma once

#include "port_extension.h"

namespace quenta {

NTSTATUS NTAPI OpenDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT device, PIRP irp);

}  // namespace quenta
