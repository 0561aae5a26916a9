// What the driver sees (one of the emulation's three roles; test_controls.h is what a test
// controls, emulation_private.h what only the emulation sees). The same names as the Windows
// kernel, USB and serial headers, in three parts, implemented by this folder's emulation. The
// driver reaches it only through its own kernel.h.
#pragma once

#include "driver_view_serial.h"
#include "driver_view_kernel.h"
#include "driver_view_usb.h"
