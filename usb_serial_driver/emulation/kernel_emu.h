// What the driver sees of the kernel when it is built for the Linux tests: the same names as
// the Windows kernel, USB and serial headers, implemented by this folder's emulation.
#pragma once

#include "emu_serial.h"
#include "emu_types.h"
#include "emu_usb.h"
