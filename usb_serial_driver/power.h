// Power: the device and system power requests (the driver is the power policy owner unless
// "UsbRelinquishPowerPolicy" says otherwise), the driver's own device power requests, and
// wait-wake.
#pragma once

#include "port_extension.h"

namespace quenta {

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT device, PIRP irp);

// Asks the power manager to put the device in state and waits; returns the status of that
// device power request. IRQL: PASSIVE_LEVEL.
NTSTATUS RequestDevicePower(PortExtension* port, DEVICE_POWER_STATE state);

// Cancels the pending wait-wake request, if any. IRQL: <= DISPATCH_LEVEL.
void CancelWaitWake(PortExtension* port);

}  // namespace quenta
