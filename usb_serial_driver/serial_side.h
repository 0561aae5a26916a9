// The serial side of a started device: its timers and DPCs, and the serial settings the
// driver keeps in software.
#pragma once

#include "port_extension.h"

namespace quenta {

// At every start: timers, DPCs and the default settings. IRQL: PASSIVE_LEVEL.
void InitializeSerialSide(PortExtension* port);

// Stop, removal: cancels the four timers and takes the eight DPCs out of the queue, giving
// back the DPC count of each one that will not run. IRQL: <= DISPATCH_LEVEL.
void CancelSerialTimersAndDpcs(PortExtension* port);

}  // namespace quenta
