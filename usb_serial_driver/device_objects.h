// Device objects: one \Device\tavrinusb<n> per attached handset, n from DeviceNumberMap.
#pragma once

#include "port_extension.h"

namespace quenta {

// Bit n set: device number n (0 to 31) belongs to an existing device. A number is taken by
// AddDevice and given back only when its device is deleted.
extern volatile LONG DeviceNumberMap;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical);

// Removal: gives the device number back and deletes the device object (and the extension with
// it). IRQL: PASSIVE_LEVEL.
void DeleteDeviceObject(PortExtension* port);

}  // namespace quenta
