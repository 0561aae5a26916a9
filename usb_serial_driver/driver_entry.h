// The driver's entry point, called once when the driver is loaded.
#pragma once

#include "kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
