// Port naming: the COM name from the device's hardware key becomes a symbolic link in the
// DOS-device namespace, a SERIALCOMM entry and a registered device interface. A non-zero
// "UsbSkipExternalNaming" leaves all three to another component.
#pragma once

#include "port_extension.h"

namespace quenta {

// At the end of a successful start. Undoes its partial steps on failure; the start goes on
// either way. A port named by an earlier start is unnamed first. IRQL: PASSIVE_LEVEL.
NTSTATUS NamePort(PortExtension* port);

// When the device's services stop: removes exactly the link, entry and interface NamePort
// made. IRQL: PASSIVE_LEVEL.
void UnnamePort(PortExtension* port);

// Reads "PortName" (or "Identifier" when it cannot be read) and builds \DosDevices\<name>
// into linkName; returns the port name in a pool buffer the caller frees. IRQL: PASSIVE_LEVEL.
NTSTATUS ReadPortName(HANDLE key, PUNICODE_STRING linkName, PWSTR* portName);

// Frees the name buffers (at removal); with the value name when includingValueName.
void FreePortNames(PortExtension* port, BOOLEAN includingValueName);

}  // namespace quenta
