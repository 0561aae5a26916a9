// USB configuration and pipes: the device's descriptors are read and its first interface
// selected when the device starts; the recovery steps (pipe reset, port reset) and the abort of
// every pipe. Everything goes to LowerDeviceObject as internal device-control requests, waited
// for without a time limit, and only at PASSIVE_LEVEL.
#pragma once

#include "port_extension.h"

namespace quenta {

// The roles of the interface's pipes follow the order of its endpoints; the endpoint
// direction and type are not looked at.
constexpr ULONG ReceivePipe = 0;
constexpr ULONG TransmitPipe = 1;

NTSTATUS ConfigureDevice(PortExtension* port);
// Frees the descriptor set and the interface information (a restart reads them again).
void FreeConfiguration(PortExtension* port);
NTSTATUS ResetPipe(PortExtension* port, ULONG pipeIndex);
void AbortPipes(PortExtension* port);
void CheckAndResetPort(PortExtension* port);

// Sends one internal device-control request (argument1 is its first argument) and waits.
NTSTATUS SubmitInternalRequest(PortExtension* port, ULONG controlCode, PVOID argument1);
inline NTSTATUS SubmitUrb(PortExtension* port, PURB urb) {
  return SubmitInternalRequest(port, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

}  // namespace quenta
