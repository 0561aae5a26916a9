// The serial settings kept in software: each request stores or returns its value unchanged
// (the handset has no UART behind its pipes); line signals and break are accepted and not
// carried out. Handlers of the device-control table (device_control.cpp).
#pragma once

#include "control_buffer.h"

namespace quenta {

NTSTATUS SetBaudRate(PortExtension* port, ControlBuffer& io);
NTSTATUS GetBaudRate(PortExtension* port, ControlBuffer& io);
NTSTATUS SetLineControl(PortExtension* port, ControlBuffer& io);
NTSTATUS GetLineControl(PortExtension* port, ControlBuffer& io);
NTSTATUS SetChars(PortExtension* port, ControlBuffer& io);
NTSTATUS GetChars(PortExtension* port, ControlBuffer& io);
NTSTATUS SetHandflow(PortExtension* port, ControlBuffer& io);
NTSTATUS GetHandflow(PortExtension* port, ControlBuffer& io);
NTSTATUS SetTimeouts(PortExtension* port, ControlBuffer& io);
NTSTATUS GetTimeouts(PortExtension* port, ControlBuffer& io);
NTSTATUS SetDtr(PortExtension* port, ControlBuffer& io);
NTSTATUS ClearDtr(PortExtension* port, ControlBuffer& io);
NTSTATUS SetRts(PortExtension* port, ControlBuffer& io);
NTSTATUS ClearRts(PortExtension* port, ControlBuffer& io);
NTSTATUS SetXoff(PortExtension* port, ControlBuffer& io);
NTSTATUS SetXon(PortExtension* port, ControlBuffer& io);
NTSTATUS SetBreakOn(PortExtension* port, ControlBuffer& io);
NTSTATUS SetBreakOff(PortExtension* port, ControlBuffer& io);
NTSTATUS ResetDevice(PortExtension* port, ControlBuffer& io);
NTSTATUS GetModemControl(PortExtension* port, ControlBuffer& io);
NTSTATUS SetModemControl(PortExtension* port, ControlBuffer& io);
NTSTATUS SetFifoControl(PortExtension* port, ControlBuffer& io);
NTSTATUS LsrMstInsert(PortExtension* port, ControlBuffer& io);
NTSTATUS XoffCounter(PortExtension* port, ControlBuffer& io);
NTSTATUS GetConfigSize(PortExtension* port, ControlBuffer& io);

}  // namespace quenta
