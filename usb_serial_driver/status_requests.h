// The requests that report the port's state: modem and line status, the status and error word,
// the properties, statistics, DTR and RTS, the wait mask. Handlers of the device-control table
// (device_control.cpp).
#pragma once

#include "control_buffer.h"

namespace quenta {

NTSTATUS GetWaitMask(PortExtension* port, ControlBuffer& io);
// CTS and DSR, always on: the handset is there whenever the port is open.
NTSTATUS GetModemStatus(PortExtension* port, ControlBuffer& io);
// Reads and clears ErrorWord, device-error latch included: the one request that passes the latch,
// and the one that lifts it.
NTSTATUS GetCommStatus(PortExtension* port, ControlBuffer& io);
NTSTATUS GetProperties(PortExtension* port, ControlBuffer& io);
NTSTATUS GetDtrRts(PortExtension* port, ControlBuffer& io);
NTSTATUS GetStats(PortExtension* port, ControlBuffer& io);
NTSTATUS ClearStats(PortExtension* port, ControlBuffer& io);

}  // namespace quenta
