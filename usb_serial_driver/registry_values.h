// Reading values from the device's hardware key.
#pragma once

#include "kernel.h"

namespace quenta {

// Copies the value's data into data when it fits size bytes; otherwise the read fails.
// IRQL: PASSIVE_LEVEL.
NTSTATUS ReadRegistryValue(HANDLE key, PCWSTR name, PVOID data, ULONG size);

}  // namespace quenta
